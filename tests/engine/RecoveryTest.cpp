// What a recovery program would find: wipe a file of unique markers on a loop-mounted image, unmount,
// and search the raw image. A file removed with a plain unlink is the control: its markers must
// still be found, or the search proves nothing.
#include "LoopImage.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace quellon::testing {
namespace {

constexpr int kMarkers = 65536; // 16 bytes each: a 1 MiB file

// `prefix` is 8 characters; each marker is the prefix and an 8-digit number.
std::string markerFile(const std::string& prefix)
{
    std::string out;
    out.reserve(kMarkers * 16);
    char number[16];
    for (int i = 0; i < kMarkers; ++i) {
        std::snprintf(number, sizeof number, "%08d", i);
        out += prefix;
        out += number;
    }
    return out;
}

TEST(Recovery, WipedFileLeavesNoMarkerOnExt4)
{
    if (std::string why = LoopImage::whyUnavailable("mkfs.ext4"); !why.empty())
        GTEST_SKIP() << "recovery test skipped: " << why;
    TempDir dir;
    LoopImage image(dir.path().string(), 64, "mkfs.ext4 -q -F", "");
    ASSERT_TRUE(image.error().empty()) << image.error();

    const std::string wiped = image.mountPoint() + "/secret.txt";
    const std::string control = image.mountPoint() + "/control.txt";
    writeFile(wiped, markerFile("QLNWIPE-"));
    writeFile(control, markerFile("QLNCTRL-"));
    ASSERT_TRUE(runCommand("sync"));

    ASSERT_TRUE(runCommand(std::string(QUELLON_WIPE_BINARY) + " '" + wiped + "'"));
    ASSERT_EQ(std::remove(control.c_str()), 0);
    ASSERT_TRUE(image.unmount());

    EXPECT_GT(image.countInImage("QLNCTRL-"), 0u) << "the control's markers vanished: the search proves nothing";
    EXPECT_EQ(image.countInImage("QLNWIPE-"), 0u) << "markers of the wiped file are still on the device";
}

} // namespace
} // namespace quellon::testing
