// Fault injection for native tests: a plan installed over the simulator's
// fault hook for the lifetime of the object. Calls are counted from install.
// Only one plan may be installed at a time; PosixResetControls removes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim_control.h"

class FaultPlan {
public:
    FaultPlan();
    ~FaultPlan();
    FaultPlan(const FaultPlan&) = delete;
    FaultPlan& operator=(const FaultPlan&) = delete;

    // The n-th call (1-based) of op fails with error.
    void FailNth(PlatOp op, uint64_t n, uint32_t error);
    // Every call of op fails with error.
    void FailAll(PlatOp op, uint32_t error);
    // Every call of op (of any operation when op is PlatOp::Count) whose path
    // contains pathPart fails with error.
    void FailPath(PlatOp op, std::u16string pathPart, uint32_t error);
    // The n-th call of op (ReadFile or WriteFile) moves at most bytes bytes.
    void ShortNth(PlatOp op, uint64_t n, uint32_t bytes);
    // Drops every rule; counts go on.
    void Clear();

    // Calls of op seen since install, and how many rules fired.
    uint64_t Calls(PlatOp op) const;
    uint64_t Fired() const;

private:
    struct Rule {
        PlatOp op;
        FaultAction action;
        uint64_t nth;           // 0: every call
        std::u16string pathPart;  // empty: any path
    };
    static FaultAction Hook(PlatOp op, const char16_t* path, void* context);

    std::vector<Rule> rules_;
    uint64_t calls_[static_cast<int>(PlatOp::Count)] = {};
    uint64_t fired_ = 0;
};
