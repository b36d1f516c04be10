#include "tests/support/fault.h"

#include <utility>

FaultPlan::FaultPlan() {
    PosixSetFaultHook(&FaultPlan::Hook, this);
}

FaultPlan::~FaultPlan() {
    PosixSetFaultHook(nullptr, nullptr);
}

void FaultPlan::FailNth(PlatOp op, uint64_t n, uint32_t error) {
    rules_.push_back(Rule{op, FaultAction{FaultAction::Fail, error, 0}, n, u""});
}

void FaultPlan::FailAll(PlatOp op, uint32_t error) {
    rules_.push_back(Rule{op, FaultAction{FaultAction::Fail, error, 0}, 0, u""});
}

void FaultPlan::FailPath(PlatOp op, std::u16string pathPart, uint32_t error) {
    rules_.push_back(Rule{op, FaultAction{FaultAction::Fail, error, 0}, 0, std::move(pathPart)});
}

void FaultPlan::ShortNth(PlatOp op, uint64_t n, uint32_t bytes) {
    rules_.push_back(Rule{op, FaultAction{FaultAction::Short, 0, bytes}, n, u""});
}

void FaultPlan::Clear() {
    rules_.clear();
}

uint64_t FaultPlan::Calls(PlatOp op) const {
    const int i = static_cast<int>(op);
    return i >= 0 && i < static_cast<int>(PlatOp::Count) ? calls_[i] : 0;
}

uint64_t FaultPlan::Fired() const {
    return fired_;
}

FaultAction FaultPlan::Hook(PlatOp op, const char16_t* path, void* context) {
    auto* plan = static_cast<FaultPlan*>(context);
    const int i = static_cast<int>(op);
    if (i < 0 || i >= static_cast<int>(PlatOp::Count)) return FaultAction{};
    const uint64_t call = ++plan->calls_[i];
    for (const Rule& rule : plan->rules_) {
        if (rule.op != op && rule.op != PlatOp::Count) continue;
        if (rule.nth != 0 && rule.nth != call) continue;
        if (!rule.pathPart.empty() && (path == nullptr || std::u16string(path).find(rule.pathPart) == std::u16string::npos)) {
            continue;
        }
        ++plan->fired_;
        return rule.action;
    }
    return FaultAction{};
}
