// `brivant list` on real USB: the IDs it finds on standard output, and on
// standard error which units cannot be opened and what to do about it.
#include <string>

#include "command_line.h"
#include "tool/captured_output.h"
#include "usb_support.h"

namespace brivant::test::usb {
namespace {

// Runs `brivant list` in this process; gives its status, output and errors.
struct ListRun {
    int status;
    std::string out;
    std::string err;
};
ListRun runList() {
    CapturedOutput out;
    CapturedOutput err;
    tool::Console console{out.output(), err.file()};
    int status = tool::runCommandLine({"list"}, console);
    return {status, out.text(), err.text()};
}

class UsbListTest : public UsbTest {};

TEST_F(UsbListTest, ListNamesTheUnitsItCannotOpenAndWhyAndSumsUpWhenItFindsNone) {
    int ready = plug(unitWithId(3, Sign::MsOs20));
    int busy = plug(unitWithId(4, Sign::MsOs10));
    bus().setClaimedElsewhere(busy, true);

    ListRun some = runList();
    EXPECT_EQ(some.status, 0);
    EXPECT_EQ(some.out, "3\n");
    EXPECT_NE(some.err.find("1234:0001 on bus 1 port 2: a unit, by its MS OS 1.0 descriptors; "
                            "busy: its interface is claimed by another process"),
              std::string::npos)
        << some.err;
    EXPECT_EQ(some.err.find("considered"), std::string::npos) << "a unit was found: no summary";
    EXPECT_EQ(some.err.find("port 1:"), std::string::npos) << "the unit found needs no word";

    bus().unplug(ready);
    ListRun none = runList();
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out, "");
    EXPECT_NE(none.err.find("no unit found"), std::string::npos) << none.err;
    EXPECT_NE(none.err.find("1 USB device considered, 1 a unit"), std::string::npos) << none.err;
    EXPECT_NE(none.err.find("port 2: a unit, by its MS OS 1.0 descriptors; busy"),
              std::string::npos)
        << none.err;
    EXPECT_TRUE(bus().traffic(busy).frames.empty()) << "looking sends no frame";
}

TEST_F(UsbListTest, AUnitThatOpensButGivesNoIdIsNamedWithItsPath) {
    plug(unitWithId(40, Sign::MsOs20));
    ListRun run = runList();
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("port 1: a unit, by its MS OS 2.0 descriptors, at usb:1-1:1.0; "
                           "it opens, but gave no ID from 0 to 15"),
              std::string::npos)
        << run.err;
}

} // namespace
} // namespace brivant::test::usb
