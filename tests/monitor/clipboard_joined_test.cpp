// The X11 and Wayland clipboards joined as one, each side a fake.
#include <gtest/gtest.h>

#include "monitor/clipboard_joined.h"
#include "tests/monitor/fake_services.h"

namespace {

struct Sides {
    fakeSystem x11, wayland;
    tarselTranslatorClipboardAccess joined = joinedClipboard(x11.clipboard(), wayland.clipboard());
};

// Each row copies on the sides in order ("" is a read that finds no text, as
// XWayland refused a Wayland copy while a Wayland window has focus).
TEST(JoinedClipboard, ReadsTheSideThatChangedLast)
{
    struct Copy {
        bool wayland;
        std::u16string text;
        bool secret = false;
    };
    const struct {
        const char* what;
        std::vector<Copy> copies;
        clipboardContent expected;
    } rows[] = {
        {"a Wayland copy", {{false, u"older"}, {true, u"wayland"}}, {u"wayland"}},
        {"an X11 copy the compositor kept from Wayland", {{true, u"wayland"}, {false, u"x11"}}, {u"x11"}},
        {"a Wayland copy refused to XWayland", {{true, u"wayland"}, {false, u""}}, {u"wayland"}},
        {"a secret", {{true, u"wayland"}, {false, u"hunter2", true}}, {u"hunter2", true}},
    };
    for (const auto& row : rows) {
        Sides sides;
        sides.joined.setChangeListener([] {});
        for (const auto& copy : row.copies)
            (copy.wayland ? sides.wayland : sides.x11).copy(copy.text, copy.secret);
        sides.joined.changeCount();
        EXPECT_EQ(sides.joined.read(), row.expected) << row.what;
        sides.joined.setChangeListener({});
    }
}

TEST(JoinedClipboard, WritesOnlyOverTheTextRead)
{
    Sides sides;
    sides.wayland.copy(u"copied");
    auto seen = sides.joined.changeCount();
    ASSERT_EQ(sides.joined.read().text, u"copied");
    // The compositor carries the copy to X11: the same text, no new copy.
    sides.x11.copy(u"copied");
    EXPECT_TRUE(sides.joined.writeIfUnchanged(u"en: copied", seen));
    EXPECT_EQ(sides.wayland.clipboardNow(), u"en: copied");
    EXPECT_EQ(sides.x11.clipboardNow(), u"copied") << "the compositor's to carry over";

    seen = sides.joined.changeCount();
    ASSERT_EQ(sides.joined.read().text, u"en: copied");
    sides.x11.copy(u"newer");
    EXPECT_FALSE(sides.joined.writeIfUnchanged(u"en: en: copied", seen));
    EXPECT_EQ(sides.wayland.clipboardNow(), u"en: copied");
}

TEST(JoinedClipboard, NoticesOnlyWhereBothSidesNotice)
{
    Sides sides;
    int told = 0;
    sides.joined.setChangeListener([&] { ++told; });
    sides.x11.copy(u"x11");
    sides.wayland.copy(u"wayland");
    EXPECT_EQ(told, 2);
    EXPECT_EQ(sides.joined.noticedChangeCount(), sides.joined.changeCount());
    sides.wayland.endNotices();
    EXPECT_EQ(sides.joined.noticedChangeCount(), std::nullopt);
    sides.joined.setChangeListener({});
}

}  // namespace
