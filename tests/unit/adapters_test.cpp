#include "adapters.h"

#include "scratch.h"

#include <vector>

using namespace std::string_literals;

namespace {

const std::string LIST_ERROR = "ERROR: Could not open list file... adapter list not found!\n\n";
// Written out here rather than taken from the program, so that a changed key text is caught.
const std::string KEY = "PCI SubSystem DeviceId                 :";

class CountTest : public ScratchTest {
protected:
    int count(const std::string &bytes, std::string *out = nullptr) { return countPath(write("list.out", bytes), out); }

    int countPath(const std::string &path, std::string *out = nullptr)
    {
        int result = -1;
        std::string printed = captureStdout([&] { result = countControllers(path.c_str()); });
        if (out != nullptr)
            *out = printed;
        else
            EXPECT_EQ(printed, "");
        return result;
    }
};

std::string digitLines(int n)
{
    std::string text = "Adapter list\n\n";
    for (int i = 1; i <= n; i++)
        text += std::to_string(i) + "   Model X   slot " + std::to_string(i) + "\n";
    return text + "Done.\n";
}

TEST_F(CountTest, CountsLinesThatBeginWithADigit)
{
    const std::string p = pattern(255);
    struct Case {
        const char *what;
        std::string bytes;
        int adapters;
    };
    const std::vector<Case> cases = {
        {"letter line last", "1 a\n2 b\nEnd\n", 2},
        {"letter line first", "Header\n1 a\n2 b\n", 2},
        {"letter line between", "1 a\nx\n2 b\n", 2},
        {"a digit alone", "0\n", 1},
        {"leading space", " 1 a\n2 b\n", 1},
        {"leading tab", "\t1 a\n", 0},
        {"empty lines", "\n\n1\n\n\n2\n\n", 2},
        {"empty file", "", 0},
        {"sign or point first", "+1\n-2\n.3\n", 0},
        {"high-bit bytes are not digits", "\xb2\n\xd9\xa3\n\xef\xbc\x91\n", 0},
        {"continuation piece starting with a digit", p + "7 more\n", 1},
        {"both pieces of a digit line", std::string(255, '1') + "2\n", 2},
        {"empty rest of a 255 line", std::string(255, '1') + "\n", 1},
        {"NUL first", "\0" "1\n2\n"s, 1},
        {"realistic list", digitLines(4), 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(count(c.bytes), c.adapters);
    }
}

TEST_F(CountTest, ListCutShortGives999)
{
    // A full disk or a killed tool can end the list in the middle of a line.
    for (const std::string &bytes : {"1\n2"s, "x"s, digitLines(3) + "4  Mod"s, "1\n" + pattern(255), "1\n" + pattern(300)}) {
        SCOPED_TRACE(bytes.substr(0, 20));
        std::string out;
        EXPECT_EQ(count(bytes, &out), READ_FAILED);
        EXPECT_EQ(out, "ERROR: The adapter list is incomplete: list.out does not end with a complete line.\n\n");
    }
}

TEST_F(CountTest, CountsAreReportedAsTheyAreAndPrintedOnlyWithDebug)
{
    // 999 cannot be told from the failure value; the caller deals with that, not the count.
    for (int n : {0, 1, 998, 999, 1200}) {
        SCOPED_TRACE(n);
        DEBUG = 0;
        EXPECT_EQ(count(digitLines(n)), n);
        DEBUG = 1;
        std::string out;
        EXPECT_EQ(count(digitLines(n), &out), n);
        EXPECT_EQ(out, "Number of adapters found:  " + std::to_string(n) + "\n\n");
    }
}

TEST_F(CountTest, UnopenableOrUnreadableListGives999)
{
    for (int debug : {0, 1}) {
        DEBUG = debug;
        for (const std::string &path : {dir + "/missing.out", dir}) {
            SCOPED_TRACE(path + (debug ? " with DEBUG" : ""));
            std::string out;
            EXPECT_EQ(countPath(path, &out), READ_FAILED);
            EXPECT_EQ(out, LIST_ERROR);
        }
    }
}

class SsdidTest : public ScratchTest {
protected:
    // The ID storage as the query leaves it, starting from "OLD"; out gets what it printed.
    std::string query(const std::string &bytes, std::string *out = nullptr, int adapter = 1)
    {
        return queryPath(write("ssdid.out", bytes), out, adapter);
    }

    std::string queryPath(const std::string &path, std::string *out = nullptr, int adapter = 1)
    {
        char ssdid[LINE_SIZE] = "OLD";
        std::string printed = captureStdout([&] { readControllersdid(adapter, path.c_str(), ssdid); });
        if (out != nullptr)
            *out = printed;
        else
            EXPECT_EQ(printed, "");
        return ssdid;
    }
};

TEST_F(SsdidTest, TakesTheRestOfTheFirstKeyLineWhenItIsWhole)
{
    const std::string value214 = pattern(214);
    struct Case {
        const char *what;
        std::string bytes;
        std::string id;
    };
    const std::vector<Case> cases = {
        {"three spaces", KEY + "   0x1234\n", "0x1234"},
        {"spaces and tabs skipped", KEY + " \t \t0x1234\n", "0x1234"},
        {"no space at all", KEY + "0x1234\n", "0x1234"},
        {"text before the key", "   Adapter info: " + KEY + " 0x1234\n", "0x1234"},
        {"key at the end of the line", KEY + "\n", ""},
        {"key and spaces only", KEY + "     \n", ""},
        {"key then CRLF", KEY + "\r\n", ""},
        {"inner spaces kept", KEY + "  12 34\t56\n", "12 34\t56"},
        {"CRLF keeps the CR", KEY + " 0x1234\r\n", "0x1234\r"},
        {"only the first key line", KEY + " first\n" + KEY + " second\n", "first"},
        {"among other lines", "Controller 1\n" + KEY.substr(0, 22) + "\nBus : 3\n" + KEY + " 0x9\nMore " + KEY + " 0x8\n",
         "0x9"},
        {"last line, with its newline", "x\n" + KEY + " 0xAB\n", "0xAB"},
        // Its first piece's value could match a record that the whole ID does not.
        {"key line longer than 255 characters: no ID", KEY + " " + pattern(300) + "\n", "OLD"},
        {"key line of 256 characters: no ID", KEY + " " + pattern(215) + "\n", "OLD"},
        {"value of a 255-character line whole", KEY + " " + value214 + "\n", value214},
        {"after text, on a 255-character line", std::string(100, '.') + KEY + " " + value214.substr(0, 114) + "\n",
         value214.substr(0, 114)},
        {"high-bit bytes kept", KEY + " \xe9\xff\n", "\xe9\xff"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(query(c.bytes), c.id);
    }
}

TEST_F(SsdidTest, LeavesTheIdAsItWasWithoutTheExactKey)
{
    std::string noSpace = KEY;
    noSpace.erase(noSpace.find(" :"), 1);
    std::string lower = KEY;
    lower[0] = 'p';
    const std::vector<std::string> cases = {
        "",
        "\n\n",
        "PCI SubSystem VendorId                 : 0x1000\n",
        noSpace + " 0x1234\n",
        lower + " 0x1234\n",
        KEY.substr(0, KEY.size() - 1) + " 0x1234\n",
        "PCI SubSystem DeviceId\t\t\t\t : 0x1234\n",
        // A key line that the end of the file cuts short may have lost part of its ID.
        KEY + " 0xAB",
        "x\n" + KEY + " 0xAB",
        KEY + " " + pattern(300),
    };
    for (const std::string &bytes : cases) {
        SCOPED_TRACE(bytes);
        EXPECT_EQ(query(bytes), "OLD");
    }
}

TEST_F(SsdidTest, UnopenableOrUnreadableFileLeavesTheIdAndSaysSo)
{
    for (int adapter : {1, 7, 999}) {
        for (const std::string &path : {dir + "/missing.out", dir}) {
            SCOPED_TRACE(path + " adapter " + std::to_string(adapter));
            std::string out;
            EXPECT_EQ(queryPath(path, &out, adapter), "OLD");
            EXPECT_EQ(out, "ERROR: Could not open config file... adapter " + std::to_string(adapter) +
                               " config not found!\n\n");
        }
    }
}

TEST_F(SsdidTest, DebugPrintsTheIdFound)
{
    DEBUG = 1;
    std::string out;
    EXPECT_EQ(query("x\n" + KEY + "  0x1F04 b\n", &out), "0x1F04 b");
    EXPECT_EQ(out, "getControllersdid:0x1F04 b\n");
    EXPECT_EQ(query(KEY + "\n", &out), "");
    EXPECT_EQ(out, "getControllersdid:\n");
    EXPECT_EQ(query("no key here\n", &out), "OLD");
    EXPECT_EQ(out, "");
}

}  // namespace
