// The table of outcomes fails closed: every failure has a non-zero exit code,
// and a value outside the table (a fault of the launcher's own) ends as a
// failure with its own box, never as the normal end's 0.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/outcome.h"
#include "platform/sim_control.h"

namespace {

const char16_t UNKNOWN[] = u"Internal error: the launcher ended without a known outcome.";

TEST(OutcomeTable, EveryFailureEndsWithANonZeroCode) {
    EXPECT_EQ(InfoOf(Outcome::Ok).exitCode, 0);
    for (int i = 1; i < static_cast<int>(Outcome::Count); ++i) {
        EXPECT_NE(InfoOf(static_cast<Outcome>(i)).exitCode, 0) << "outcome " << i;
    }
}

TEST(OutcomeTable, AValueOutsideTheTableEndsAsAFailureNeverAsTheNormalEnd) {
    for (const int value : {static_cast<int>(Outcome::Count), static_cast<int>(Outcome::Count) + 1, 255}) {
        SCOPED_TRACE(value);
        const Outcome outcome = static_cast<Outcome>(value);
        // Forced straight into an ending, with a message no row formatted.
        Ending forced{outcome, {}};
        for (char16_t& c : forced.message) c = u'x';
        forced.message[MESSAGE_CAPACITY - 1] = 0;
        PosixResetControls();
        const int code = ShowEnding(forced);
        EXPECT_EQ(code, EXIT_UNKNOWN_OUTCOME);
        EXPECT_NE(code, 0);
        ASSERT_EQ(PosixMessageBoxes().size(), 1u);
        EXPECT_EQ(PosixMessageBoxes()[0].text, UNKNOWN);
        EXPECT_EQ(PosixMessageBoxes()[0].caption, u"Error");
        EXPECT_EQ(PosixMessageBoxes()[0].style, MB_ICONERROR);

        // Made by EndWith, the same.
        EXPECT_EQ(std::u16string(EndWith(outcome).message), UNKNOWN);
        EXPECT_EQ(InfoOf(outcome).exitCode, EXIT_UNKNOWN_OUTCOME);
    }
    PosixResetControls();
}

}  // namespace
