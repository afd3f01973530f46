// An output takes its input's read-only state (on Windows the read-only
// attribute, elsewhere the owner's write bit) and times.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/platform.h"
#include "support/program.h"

namespace qrn {
namespace {

using namespace qrn::testing;

constexpr auto READ_ONLY = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
constexpr auto WRITABLE = READ_ONLY | fs::perms::owner_write;

TEST(Outputs, TakeTheInputsReadOnlyStateAndTimes)
{
    for (const bool read_only : {false, true}) {
        SCOPED_TRACE(read_only ? "read-only" : "writable");
        ScratchDir d;
        const std::string in_path = (d / "in").string(), out_path = (d / "out").string();
        write_file(d / "in", "data");
        const auto when = fs::file_time_type::clock::now() - std::chrono::hours(50);
        fs::last_write_time(d / "in", std::chrono::time_point_cast<std::chrono::seconds>(when));
        fs::permissions(d / "in", read_only ? READ_ONLY : WRITABLE);
        PlatformFile* in = file_open_input(in_path.c_str());
        ASSERT_TRUE(in && in->meta.known);
        EXPECT_EQ((in->meta.mode & 0200) == 0, read_only);
        PlatformFile* out = file_create_output(out_path.c_str(), false, &in->meta);
        ASSERT_TRUE(out);
        EXPECT_EQ(file_write_fully(out, "x", 1), 1);
        EXPECT_EQ(file_apply_meta(out, in->meta), 0);
        EXPECT_EQ(file_close_output(out, false), 0);
        file_close(in);
        EXPECT_EQ((fs::status(d / "out").permissions() & fs::perms::owner_write) == fs::perms::none, read_only);
        EXPECT_EQ(fs::last_write_time(d / "out"), fs::last_write_time(d / "in"));
        // Without -f an existing output stays; with it, even a read-only one
        // gives way (as its directory allows on POSIX).
        EXPECT_EQ(file_create_output(out_path.c_str(), false, nullptr), nullptr);
        PlatformFile* again = file_create_output(out_path.c_str(), true, nullptr);
        ASSERT_TRUE(again);
        EXPECT_EQ(file_close_output(again, true), 0);
        EXPECT_FALSE(fs::exists(d / "out"));
        fs::permissions(d / "in", WRITABLE);
    }
}

} // namespace
} // namespace qrn
