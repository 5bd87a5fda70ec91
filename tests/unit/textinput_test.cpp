#include "textinput.h"

#include "scratch.h"

#include <array>
#include <cctype>
#include <cstring>
#include <vector>

using namespace std::string_literals;

namespace {

struct LineCase {
    const char *what;
    std::string bytes;
    std::vector<std::string> lines;  // every text getLine gives before its first -1
};

class GetLineTest : public ScratchTest {
protected:
    // Reads the file as every caller does, with a LINE_SIZE buffer, until getLine gives -1.
    std::vector<std::string> readAll(const std::string &bytes)
    {
        std::vector<std::string> lines;
        FILE *file = std::fopen(write("in", bytes).c_str(), "r");
        if (file == nullptr) {
            ADD_FAILURE() << "cannot open the input";
            return lines;
        }
        char buf[LINE_SIZE];
        while (getLine(file, buf, sizeof buf) == 1)
            lines.push_back(buf);
        EXPECT_EQ(getLine(file, buf, sizeof buf), -1) << "end of input must stay the end";
        EXPECT_FALSE(std::ferror(file));
        std::fclose(file);
        return lines;
    }

    void check(const std::vector<LineCase> &cases)
    {
        for (const LineCase &c : cases) {
            SCOPED_TRACE(c.what);
            EXPECT_EQ(readAll(c.bytes), c.lines);
        }
    }
};

TEST_F(GetLineTest, RemovesOneNewlineAndTrailingSpacesOnly)
{
    check({
        {"two trailing spaces", "ab  \n", {"ab"}},
        {"spaces only", "    \n", {""}},
        {"empty line", "\n", {""}},
        {"one newline per line", "ab\n\n\n", {"ab", "", ""}},
        {"leading and inner spaces kept", "  a  b c \n", {"  a  b c"}},
        {"CR before the newline kept", "ab\r\n", {"ab\r"}},
        {"space after CR removed, CR stops", "ab \r  \n", {"ab \r"}},
        {"tab stops the trimming", "ab \t \n", {"ab \t"}},
        {"trailing tab kept", "ab\t\n", {"ab\t"}},
        {"vertical tab and form feed kept", "a\v\nb\f \n", {"a\v", "b\f"}},
        {"CR in the middle kept", "a\rb\n", {"a\rb"}},
        {"last line without newline", "ab\ncd  ", {"ab", "cd"}},
        {"last line of spaces without newline", "ab\n   ", {"ab", ""}},
        {"empty file", "", {}},
        {"only a newline at the end of the file", "x\n", {"x"}},
    });
}

TEST_F(GetLineTest, SplitsLongLinesInto255CharacterPieces)
{
    const std::string p = pattern(800);
    check({
        {"254 characters", p.substr(0, 254) + "\n", {p.substr(0, 254)}},
        {"exactly 255: the newline comes as an empty line", p.substr(0, 255) + "\nnext\n",
         {p.substr(0, 255), "", "next"}},
        {"256 characters", p.substr(0, 256) + "\n", {p.substr(0, 255), p.substr(255, 1)}},
        {"300 characters", p.substr(0, 300) + "\n", {p.substr(0, 255), p.substr(255, 45)}},
        {"three pieces", p.substr(0, 600) + "\n", {p.substr(0, 255), p.substr(255, 255), p.substr(510, 90)}},
        {"twice 255", p.substr(0, 510) + "\n", {p.substr(0, 255), p.substr(255, 255), ""}},
        {"300 without a newline", p.substr(0, 300), {p.substr(0, 255), p.substr(255, 45)}},
        {"a piece loses its own trailing spaces", p.substr(0, 250) + "     rest  \n",
         {p.substr(0, 250), "rest"}},
        {"a piece of spaces only", p.substr(0, 255) + std::string(10, ' ') + "\n", {p.substr(0, 255), ""}},
        {"continuation keeps its leading spaces", p.substr(0, 255) + "  x\n", {p.substr(0, 255), "  x"}},
    });
}

TEST_F(GetLineTest, NulEndsTheTextOfItsRead)
{
    const std::string x10(10, 'x');
    const std::string y300(300, 'y');
    check({
        {"rest of the line dropped", "ab\0cd\nnext\n"s, {"ab", "next"}},
        {"spaces before the NUL trimmed", "ab  \0cd  \n"s, {"ab"}},
        {"NUL first", "\0abc\n"s, {""}},
        {"NUL just before the newline", "ab\0\nz\n"s, {"ab", "z"}},
        {"NUL as the last byte of the file", "ab\0"s, {"ab"}},
        // The first read takes 255 bytes; only they are cut, the next piece is read as usual.
        {"NUL in a long line", x10 + "\0"s + y300 + "\n", {x10, std::string(56, 'y')}},
    });
}

TEST_F(GetLineTest, KeepsHighBitBytes)
{
    check({
        {"latin-1 letters", "\xe9t\xe9 \xff\x80  \n", {"\xe9t\xe9 \xff\x80"}},
        {"no-break space is not a space", "a\xa0\n", {"a\xa0"}},
        {"UTF-8 text", "caf\xc3\xa9 \xe2\x80\x94  \n", {"caf\xc3\xa9 \xe2\x80\x94"}},
        {"DEL and 0xFF lines", "\x7f\n\xff\n", {"\x7f", "\xff"}},
    });
}

TEST_F(GetLineTest, NeverWritesPastTheSizeItIsGiven)
{
    const std::string text = pattern(40);
    const std::string path = write("in", text + "\n");
    const char canary = '\xa5';
    for (int size : {2, 3, 7, 16, 40, 41, 42}) {
        SCOPED_TRACE(size);
        FILE *file = std::fopen(path.c_str(), "r");
        ASSERT_NE(file, nullptr);
        std::vector<char> buf(size + 32, canary);
        std::string joined;
        while (getLine(file, buf.data(), size) == 1) {
            for (size_t i = size; i < buf.size(); i++)
                ASSERT_EQ(buf[i], canary) << "byte " << i << " written";
            ASSERT_NE(std::memchr(buf.data(), '\0', size), nullptr) << "text not terminated";
            joined += buf.data();
        }
        std::fclose(file);
        EXPECT_EQ(joined, text);
    }
}

TEST_F(GetLineTest, ReadErrorGivesMinusOneWithTheErrorFlagSet)
{
    FILE *file = std::fopen(dir.c_str(), "r");
    if (file == nullptr)
        GTEST_SKIP() << "this platform does not open directories as streams";
    char buf[LINE_SIZE];
    EXPECT_EQ(getLine(file, buf, sizeof buf), -1);
    EXPECT_TRUE(std::ferror(file));
    std::fclose(file);
}

// --- the adapter info file ---

using Record = std::array<std::string, 3>;  // ssdid, adapterName, updatePackage

const std::string HEADING = "This update is for the following adapters:\n";
const std::string OPEN_ERROR = "ERROR: Could not open adapter info file... controller info not found!\n\n";
const std::string FILE_REFUSED = "ERROR: The adapter info file cannot be used as it stands; no adapter is updated.";

std::string listing(const std::vector<Record> &records)
{
    std::string text = HEADING;
    for (const Record &r : records)
        text += " - " + r[1] + "\n";
    return text + "\n";
}

// Whether message holds line's number as a number of its own, not as part of a longer one.
bool namesLine(const std::string &message, int line)
{
    const std::string number = std::to_string(line);
    auto digit = [&](size_t i) { return i < message.size() && std::isdigit(static_cast<unsigned char>(message[i])); };
    for (size_t at = message.find(number); at != std::string::npos; at = message.find(number, at + 1)) {
        if ((at == 0 || !digit(at - 1)) && !digit(at + number.size()))
            return true;
    }
    return false;
}

struct ListRun {
    int result = 0;
    std::string out;                  // the whole output
    std::vector<std::string> errors;  // the "ERROR: " lines before the heading
    std::string rest;                 // the output without those lines and their empty lines
    std::vector<Record> records;
};

class UpdateListTest : public ScratchTest {
protected:
    std::string path;

    ListRun list(const std::string &bytes)
    {
        path = write("info.txt", bytes);
        return listPath(path);
    }

    ListRun listPath(const std::string &file)
    {
        // One slot more than the reader may fill: it must stay as it is.
        static char guard[] = "guard";
        adapterInfo table[MAX_RECORDS + 1] = {};
        table[MAX_RECORDS] = {guard, guard, guard, 0};

        ListRun run;
        run.out = captureStdout([&] { run.result = getUpdateList(table, file.c_str()); });
        EXPECT_TRUE(table[MAX_RECORDS].ssdid == guard && table[MAX_RECORDS].adapterName == guard &&
                    table[MAX_RECORDS].updatePackage == guard);
        for (int i = 0; run.result != READ_FAILED && i < run.result && i < MAX_RECORDS; i++)
            run.records.push_back({table[i].ssdid, table[i].adapterName, table[i].updatePackage});
        // A refused file may have filled records before its refusal.
        for (int i = 0; i < MAX_RECORDS; i++) {
            std::free(table[i].ssdid);
            std::free(table[i].adapterName);
            std::free(table[i].updatePackage);
        }

        std::istringstream lines(run.out);
        std::string line;
        bool listed = false, afterError = false;
        while (std::getline(lines, line)) {
            listed = listed || line + "\n" == HEADING;
            if (!listed && line.rfind("ERROR: ", 0) == 0) {
                run.errors.push_back(line);
                afterError = true;
                continue;
            }
            if (!(afterError && line.empty()))
                run.rest += line + "\n";
            afterError = false;
        }
        return run;
    }

    // The run kept exactly these records and listed them; or, with lines refused, named exactly
    // those lines and refused the whole file.
    void expectRun(const ListRun &run, const std::vector<Record> &records, const std::vector<int> &refused = {})
    {
        std::vector<std::string> errors = run.errors;
        if (refused.empty()) {
            EXPECT_EQ(run.result, static_cast<int>(records.size()));
            EXPECT_EQ(run.records, records);
            EXPECT_EQ(run.rest, "Update file:  " + path + ".\n\n" + listing(records));
        } else {
            ASSERT_TRUE(records.empty()) << "a refused file keeps no records";
            EXPECT_EQ(run.result, READ_FAILED);
            EXPECT_EQ(run.rest, "Update file:  " + path + ".\n\n");
            ASSERT_FALSE(errors.empty());
            EXPECT_EQ(errors.back(), FILE_REFUSED);
            errors.pop_back();
        }
        ASSERT_EQ(errors.size(), refused.size()) << run.out;
        for (size_t i = 0; i < refused.size(); i++)
            EXPECT_TRUE(namesLine(errors[i], refused[i])) << errors[i] << " should name line " << refused[i];
    }

    struct Case {
        const char *what;
        std::string bytes;
        std::vector<Record> records;
        std::vector<int> refused;
    };

    void expectRuns(const std::vector<Case> &cases)
    {
        for (const Case &c : cases) {
            SCOPED_TRACE(c.what);
            expectRun(list(c.bytes), c.records, c.refused);
        }
    }
};

TEST_F(UpdateListTest, SplitsFieldsOnCommas)
{
    expectRuns({
        {"plain", "1234,Alpha,pkg.bin\n", {{"1234", "Alpha", "pkg.bin"}}, {}},
        {"leading and doubled commas", ",,1234,,,Alpha,,pkg.bin\n", {{"1234", "Alpha", "pkg.bin"}}, {}},
        {"spaces belong to the fields", " 1234 , Alpha 2 , pkg.bin   \n", {{" 1234 ", " Alpha 2 ", " pkg.bin"}}, {}},
        {"fourth field ignored", "1234,Alpha,pkg.bin,extra,more\n", {{"1234", "Alpha", "pkg.bin"}}, {}},
        {"trailing comma", "1234,Alpha,pkg.bin,\n", {{"1234", "Alpha", "pkg.bin"}}, {}},
        {"CRLF line ends: the CR would end the package", "1234,Alpha,pkg.bin\r\n5,B,b\r\n", {}, {1, 2}},
        {"a CR in the ID or name is kept", "12\r34,Al\rpha,pkg.bin\n", {{"12\r34", "Al\rpha", "pkg.bin"}}, {}},
        {"CR after a fourth field goes with it", "1234,Alpha,pkg.bin,x\r\n", {{"1234", "Alpha", "pkg.bin"}}, {}},
        {"tabs kept", "12\t34,Al\tpha,pkg\t-f\n", {{"12\t34", "Al\tpha", "pkg\t-f"}}, {}},
        {"package of several words", "1234,Alpha,pkg.bin -force -v\n", {{"1234", "Alpha", "pkg.bin -force -v"}}, {}},
        {"last line without newline", "0x1F04,Gamma,g.img", {{"0x1F04", "Gamma", "g.img"}}, {}},
        {"byte-order mark skipped", "\xEF\xBB\xBF" "1234,Alpha,pkg.bin\n", {{"1234", "Alpha", "pkg.bin"}}, {}},
        {"byte-order mark only at the start", "1,A,a\n\xEF\xBB\xBF" "2,B,b\n", {{"1", "A", "a"}, {"\xEF\xBB\xBF" "2", "B", "b"}}, {}},
        {"part of a mark is data", "\xEF\xBB" "1,A,a\n", {{"\xEF\xBB" "1", "A", "a"}}, {}},
        {"a file of only a mark", "\xEF\xBB\xBF", {}, {}},
    });
}

TEST_F(UpdateListTest, UnopenableOrUnreadableFileGives999)
{
    for (const std::string &file : {dir + "/missing.txt", dir, dir + "/no/such/dir/info.txt"}) {
        SCOPED_TRACE(file);
        ListRun run = listPath(file);
        EXPECT_EQ(run.result, READ_FAILED);
        EXPECT_EQ(run.out, "Update file:  " + file + ".\n\n" + OPEN_ERROR);
    }
}

TEST_F(UpdateListTest, LinesWithoutAnyFieldAreSkippedSilently)
{
    const Record a = {"1", "A", "a"}, b = {"2", "B", "b"};
    for (const char *gap : {"\n", "   \n", ",\n", ",,,\n", " , ,  ,\n", "\n\n\n"}) {
        SCOPED_TRACE(gap);
        expectRun(list(std::string(gap) + "1,A,a\n" + gap + "2,B,b\n" + gap), {a, b});
    }
    // Skipped lines still count for the numbers that later messages name.
    expectRun(list("\n  \n,,\n1,A,a\nonly one field\n"), {}, {5});
    expectRun(list(""), {});
}

TEST_F(UpdateListTest, ShortLinesAreRefusedByLineNumber)
{
    const Record a = {"1", "A", "a"}, b = {"2", "B", "b"};
    expectRuns({
        {"one field", "0x1234\n", {}, {1}},
        {"two fields", "0x1234,Alpha\n", {}, {1}},
        {"two fields and commas", ",0x1234,,Alpha,,,\n", {}, {1}},
        {"package of spaces only", "0x1234,Alpha,    \n", {}, {1}},
        {"between good lines", "1,A,a\n9,Z\n2,B,b\n", {}, {2}},
        {"several", "x\n1,A,a\ny,z\n\n2,B,b\nw\n", {}, {1, 3, 6}},
        {"tab is a field, not a blank", "\t\n1,A,a\n", {}, {1}},
        {"CRLF blank line is not blank", "\r\n1,A,a\n", {}, {1}},
    });
}

TEST_F(UpdateListTest, KeepsAtMostThirtyRecords)
{
    auto lines = [](int from, int count) {
        std::string text;
        for (int i = from; i < from + count; i++)
            text += std::to_string(i) + ",Name " + std::to_string(i) + ",p" + std::to_string(i) + "\n";
        return text;
    };
    std::vector<Record> first30;
    for (int i = 1; i <= MAX_RECORDS; i++)
        first30.push_back({std::to_string(i), "Name " + std::to_string(i), "p" + std::to_string(i)});

    expectRun(list(lines(1, 30)), first30);
    expectRun(list(lines(1, 30) + "\n\n  \n"), first30);
    expectRun(list(lines(1, 31)), {}, {31});
    // The limit is named once; the lines after it are still checked.
    expectRun(list(lines(1, 45) + "bad\n"), {}, {31, 46});
    // Refused lines are not records and do not count toward the limit.
    expectRun(list(lines(1, 10) + "bad\n" + lines(11, 10) + "1,2,3;4\n\n" + lines(21, 15)), {}, {11, 22, 34});
    // Record 31 can start in the line whose first piece is record 30.
    const std::string head = "30,Name 30,p30,";
    expectRun(list(lines(1, 29) + head + std::string(255 - head.size(), 'f') + "31,N,p\n"), {}, {30});
}

TEST_F(UpdateListTest, PackageLengthLimit)
{
    const std::string at = pattern(PACKAGE_MAX), over = pattern(PACKAGE_MAX + 1);
    expectRun(list("1,A," + at + "\n"), {{"1", "A", at}});
    expectRun(list("1,A," + over + "\n"), {}, {1});
    expectRun(list("1,A,a\n2,B," + pattern(251) + "\n3,C,c\n"), {}, {2});
    // Only the third field counts: what follows a further comma is ignored.
    expectRun(list("1,A," + at + "," + pattern(30) + "\n"), {{"1", "A", at}});
}

TEST_F(UpdateListTest, PackageWithShellCharactersIsRefused)
{
    for (char c : std::string(";&|<>()$`\\*?[")) {
        const std::string ch(1, c);
        SCOPED_TRACE(ch);
        expectRun(list("1,A,a\n2,B,pkg" + ch + "x.bin\n3,C," + ch + "\n4,D,d" + ch + "\n"), {}, {2, 3, 4});
    }
    // A '#' that begins a word would make a comment of the rest of the command line.
    expectRun(list("1,A,#x\n2,B,a #x\n3,C,a\t#x\n4,D,a#x\n"), {}, {1, 2, 3});
}

TEST_F(UpdateListTest, ControlCharactersInAPackageAreRefusedByName)
{
    const std::string crlf = "its update package contains a carriage return; save the file with Unix line ends";
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"pkg.bin\r", crlf},
        {"pkg\r.bin", crlf},
        {"a\x01" "b", "its update package contains the control character 0x01"},
        {"a\x1b[0m", "its update package contains the control character 0x1B"},
        {"\x1f", "its update package contains the control character 0x1F"},
        {"a.bin\x7f", "its update package contains the control character 0x7F"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.second);
        const ListRun run = list("1,A," + row.first + "\n");
        EXPECT_EQ(run.out, "Update file:  " + path + ".\n\nERROR: Line 1 of the adapter info file is ignored: " +
                               row.second + ".\n\n" + FILE_REFUSED + "\n\n");
    }
    // A tab is a blank between the tool's words.
    expectRun(list("1,A,a.bin\t-x\n"), {{"1", "A", "a.bin\t-x"}});
}

TEST_F(UpdateListTest, CharactersThatNeverReachTheShellAreKept)
{
    const std::vector<Record> kept = {
        {"1;2", "A & B|C", "a.pkg"},       // ID and name are never part of a command line
        {"3", "C", "fw#2.bin ~/x.bin"},    // '#' inside a word and '~' keep their ordinary meaning
        {"4", "D", "'quoted name' \"x\""}, // so do quotes
        {"5", "E", "e.pkg -flag\tvalue"},  // words for the tool
    };
    std::string bytes;
    for (const Record &r : kept)
        bytes += r[0] + "," + r[1] + "," + r[2] + "\n";
    bytes += "6,F,f.pkg,;rm -rf x\n";  // a fourth field is ignored
    std::vector<Record> expected = kept;
    expected.push_back({"6", "F", "f.pkg"});
    expectRun(list(bytes), expected);
}

TEST_F(UpdateListTest, LongIdsAndNamesAreKeptWhole)
{
    const std::string longId = "0x" + pattern(150), longName = "Name " + pattern(60);
    expectRun(list(longId + "," + longName + ",p\n"), {{longId, longName, "p"}});
    // IDs that agree in their first nine characters stay apart.
    expectRun(list("123456789A,A,a\n123456789B,B,b\n"), {{"123456789A", "A", "a"}, {"123456789B", "B", "b"}});
}

TEST_F(UpdateListTest, DuplicateIdsAreBothKept)
{
    expectRun(list("0x10,First,a\n0x20,Other,o\n0x10,Second,b\n"),
              {{"0x10", "First", "a"}, {"0x20", "Other", "o"}, {"0x10", "Second", "b"}});
}

TEST_F(UpdateListTest, LineOf300CharactersIsReadInTwoPieces)
{
    // Its first 255 characters make one line, the last 45 another.
    const std::string head = "1234,Alpha,pkg.bin,", tail = "5678,Beta,beta.bin,";
    const std::string line = head + std::string(255 - head.size(), 'f') + tail + std::string(45 - tail.size(), 'g');
    ASSERT_EQ(line.size(), 300u);
    expectRun(list(line + "\n"), {{"1234", "Alpha", "pkg.bin"}, {"5678", "Beta", "beta.bin"}});
}

TEST_F(UpdateListTest, MessagesNameTheLineOfTheFileNotThePiece)
{
    const Record a = {"1", "A", "a"};
    const std::string name(251, 'N');  // makes a line of 255 characters, whose newline comes as a piece
    expectRuns({
        {"after a 254-character line", "9," + name.substr(1) + ",p\nbad\n", {}, {2}},
        // One record, and the empty rest of the line is skipped.
        {"after a 255-character line", "9," + name + ",p\nbad\n1,A,a\nbad\n", {}, {2, 4}},
        // A package too long in the first piece refuses it; the rest, one field, is a short line.
        {"pieces of a 300-character line", "1,A," + pattern(296) + "\nbad\n", {}, {1, 1, 2}},
        {"three pieces", std::string(600, 'x') + "\n1,A,a\nbad\n", {}, {1, 1, 1, 3}},
        {"NUL before the newline", "1,A\0,a\nbad\n"s, {}, {1, 2}},
    });
}

}  // namespace
