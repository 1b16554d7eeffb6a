// The character's hold and fade when the marker is lost, on the video's clock.
#include <gtest/gtest.h>

#include "tracking/view/MarkerHold.h"

TEST(MarkerHold, HeldThenFadedAfterTheMarkerIsLostAndShownAtOnceWhenItIsBack) {
    MarkerHold hold;
    hold.update(false, 0.0);
    EXPECT_FALSE(hold.shown()) << "nothing to hold before the marker was ever seen";

    hold.update(true, 1.0);
    EXPECT_EQ(hold.opacity(), 1.0);
    hold.update(false, 1.0 + MarkerHold::kHoldSeconds);
    EXPECT_EQ(hold.opacity(), 1.0) << "held in full";
    hold.update(false, 1.0 + MarkerHold::kHoldSeconds + MarkerHold::kFadeSeconds / 2);
    EXPECT_NEAR(hold.opacity(), 0.5, 1e-9) << "half way through the fade";
    hold.update(true, 1.6);
    EXPECT_EQ(hold.opacity(), 1.0) << "back at once";

    hold.update(false, 1.7);
    hold.update(false, 1.6 + MarkerHold::kHoldSeconds + MarkerHold::kFadeSeconds + 0.01);
    EXPECT_FALSE(hold.shown()) << "gone after the fade";
    hold.update(false, 1.0);
    EXPECT_FALSE(hold.shown()) << "a clock going back does not bring it back";

    hold.update(true, 5.0);
    hold.update(false, 2.0);  // a source opened again: its clock starts over
    EXPECT_TRUE(hold.shown());
    hold.update(false, 2.0 + MarkerHold::kHoldSeconds + MarkerHold::kFadeSeconds + 0.01);
    EXPECT_FALSE(hold.shown()) << "the hold counts from the new clock";

    hold.update(true, 3.0);
    hold.reset();
    EXPECT_FALSE(hold.shown());
}
