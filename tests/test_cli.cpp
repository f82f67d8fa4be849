// The command-line tool, end to end: each case runs the built binary with
// its standard streams on files and checks what it printed, its exit status
// and the file it worked on. Grouped per verb, then standard input as a
// file, then the output formats read back by real parsers, then merging
// real-world files. Runs on Windows too (under Wine in CI), where the few
// cases that need a POSIX shell, Python or /dev/full skip themselves.
#include "brantcfg.h"
#include "brantcfg.hpp"
#include "file_walk.h"
#include "support.h"

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <windows.h>
#else
#  include <fcntl.h>
#  include <spawn.h>
#  include <sys/stat.h>
#  include <sys/wait.h>
#  include <unistd.h>
extern char **environ;
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using brantcfg_test::corpus_files;
using brantcfg_test::file_exists;
using brantcfg_test::read_file;
using brantcfg_test::write_file;

#ifdef BRANTCFG_TOOL_PATH
const char TOOL[] = BRANTCFG_TOOL_PATH;
#else
const char TOOL[] = "";
#endif

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

const char HINT[] = "Try 'brantcfg --help' for more information.\n";

#if defined(_WIN32)
// One argument as the C runtime splits a command line: quoted when it holds
// a blank or a quote or is empty, backslashes doubled before a quote.
std::string quoted_argument(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

// Tries at starting the tool before a test gives up on it.
constexpr int SPAWN_ATTEMPTS = 3;

// A file handle the child inherits as one of its standard streams.
HANDLE inherited(const std::string &path, bool write) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}
#endif

class Cli : public brantcfg_test::ScratchDir {
protected:
    void SetUp() override {
        if (TOOL[0] == '\0') GTEST_SKIP() << "the tool is not built";
        ScratchDir::SetUp();
    }

    // Runs program with args; standard input holds input, standard output
    // goes to stdout_path (a scratch file when empty). On POSIX program is
    // looked up on PATH.
    Outcome run_program(const std::string &program, const std::vector<std::string> &args, const std::string &input = "",
                        std::string stdout_path = "") {
        const std::string in = path("stdin.txt"), err = path("stderr.txt");
        const bool capture = stdout_path.empty();
        if (capture) stdout_path = path("stdout.txt");
        write_file(in, input);
        Outcome outcome;
#if defined(_WIN32)
        std::string command = quoted_argument(program);
        for (const std::string &arg : args) command += " " + quoted_argument(arg);
        PROCESS_INFORMATION child{};
        // Under Wine a process now and then fails to start for reasons of
        // its own (seen once in many CI runs); a few tries, each with its
        // streams opened afresh, tell that from a tool that cannot start.
        bool spawned = false;
        DWORD cause = 0;
        for (int attempt = 0; attempt < SPAWN_ATTEMPTS && !spawned; ++attempt) {
            if (attempt > 0) Sleep(200);
            STARTUPINFOA startup{};
            startup.cb = sizeof startup;
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = inherited(in, false);
            startup.hStdOutput = inherited(stdout_path, true);
            startup.hStdError = inherited(err, true);
            spawned =
                CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child);
            if (!spawned) cause = GetLastError();
            for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) CloseHandle(handle);
        }
        if (!spawned) {
            ADD_FAILURE() << "cannot run " << program << " (error " << cause << ", " << SPAWN_ATTEMPTS << " tries)";
            return outcome;
        }
        WaitForSingleObject(child.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(child.hProcess, &code);
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
        outcome.status = static_cast<int>(code);
#else
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char *> argv{const_cast<char *>(program.c_str())};
        for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        pid_t child = 0;
        const int spawned = posix_spawnp(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            ADD_FAILURE() << "cannot run " << program;
            return outcome;
        }
        int wait_status = 0;
        waitpid(child, &wait_status, 0);
        outcome.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
#endif
        if (capture) outcome.out = read_file(stdout_path);
        outcome.err = read_file(err);
        return outcome;
    }

    Outcome tool(const std::vector<std::string> &args, const std::string &input = "") {
        return run_program(TOOL, args, input);
    }

    // A scratch file holding bytes; returns its path.
    std::string file(const std::string &name, const std::string &bytes) {
        const std::string p = path(name);
        write_file(p, bytes);
        return p;
    }
};

// What the system says about a path that names a folder: POSIX opens it and
// fails to read it, Windows refuses to open it.
#if defined(_WIN32)
const std::string FOLDER_ERROR = std::strerror(EACCES);
#else
const std::string FOLDER_ERROR = std::strerror(EISDIR);
#endif
const std::string NO_FILE_ERROR = std::strerror(ENOENT);

// Windows editors begin UTF-8 files with a byte-order mark, and write
// "Unicode" as UTF-16 with FF FE first.
const std::string MARK = "\xEF\xBB\xBF";
const std::string UTF16_FILE("\xFF\xFE[\0m\0]\0\r\0\n\0k\0=\0x\0\r\0\n\0", 22);
bool is_utf16(const std::string &bytes) { return bytes.rfind("\xFF\xFE", 0) == 0 || bytes.rfind("\xFE\xFF", 0) == 0; }
std::string utf16_said(const std::string &name) {
    return "brantcfg: " + name + " is UTF-16; this tool reads 8-bit files (convert it with iconv)\n";
}

const char SAMPLE[] =
    "top=above\r\n"
    "[window]\r\n"
    "title = \"Main ; window\" ; comment\r\n"
    "empty=\r\n"
    "width=0x280\r\n"
    "ratio=1.5\r\n"
    "max=Yes\r\n"
    "odd=maybe\r\n"
    "lamp=Off\r\n"
    "step=+5\r\n"
    "[Window]\r\n"
    "late=unreachable\r\n";

// ---- get ----------------------------------------------------------------------

TEST_F(Cli, GetPrintsValuesAndStatuses) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err = "";  // the message before ": FILE", when there is one
    };
    const std::string not_truth = "\", not a truth value (yes/no, true/false, on/off, 1/0)";
    const Case cases[] = {
        {{"window", "title"}, 0, "Main ; window\n"},
        {{"WINDOW", "Title"}, 0, "Main ; window\n"},
        {{"window", "empty"}, 0, "\n"},
        {{"window", "missing"}, 1, ""},
        {{"window", "missing", "--default", ""}, 0, "\n"},
        {{"window", "empty", "--default", "d"}, 0, "\n"},
        {{"window", "missing", "--default", " as is "}, 0, " as is \n"},
        {{"", "top"}, 0, "above\n"},
        {{"", "title"}, 1, ""},
        {{"nosuch", "top"}, 1, ""},
        {{"window", "width", "--type", "int"}, 0, "640\n"},
        {{"window", "ratio", "--type", "float"}, 0, "1.5\n"},
        {{"window", "empty", "--type", "int"}, 1, ""},
        {{"window", "missing", "--type", "int", "--default", "0x10"}, 0, "16\n"},
        {{"window", "max", "--type", "bool"}, 0, "1\n"},
        // A value of another type is said, and --default does not stand in for it.
        {{"window", "odd", "--type", "bool"}, 1, "", "key \"odd\" in section \"window\" holds \"maybe" + not_truth},
        {{"window", "odd", "--type", "bool", "--default", "no"},
         1,
         "",
         "key \"odd\" in section \"window\" holds \"maybe" + not_truth},
        {{"window", "lamp", "--type", "bool"}, 0, "0\n"},
        {{"window", "lamp", "--type", "int"},
         1,
         "",
         "key \"lamp\" in section \"window\" holds \"Off\", not a 32-bit integer"},
        {{"window", "ratio", "--type", "int"},
         1,
         "",
         "key \"ratio\" in section \"window\" holds \"1.5\", not a 32-bit integer"},
        {{"window", "title", "--type", "float"},
         1,
         "",
         "key \"title\" in section \"window\" holds \"Main ; window\", not a number"},
        {{"window", "step", "--type", "int"}, 0, "5\n"},
        {{"window", "missing", "--type", "int", "--default", "+0x10"}, 0, "16\n"},
        {{"window", "missing", "--type", "bool", "--default", "OFF"}, 0, "0\n"},
        {{"window", "title", "--type", "string"}, 0, "Main ; window\n"},
    };
    // A byte-order mark before the first line changes nothing.
    for (const std::string &ini : {file("a.ini", SAMPLE), file("bom.ini", MARK + SAMPLE)}) {
        for (const Case &c : cases) {
            std::vector<std::string> args{"get", ini};
            args.insert(args.end(), c.args.begin(), c.args.end());
            const Outcome o = tool(args);
            EXPECT_EQ(o.status, c.status) << ini << ::testing::PrintToString(c.args) << o.err;
            EXPECT_EQ(o.out, c.out) << ini << ::testing::PrintToString(c.args);
            EXPECT_EQ(o.err, c.err.empty() ? "" : "brantcfg: " + c.err + ": " + ini + "\n")
                << ini << ::testing::PrintToString(c.args);
        }
    }
}

// A file saved as UTF-8 with a byte-order mark reads from its first section
// on, and a set keeps the mark; with CR LF line ends the line is patched in
// place, with LF ones it is replaced where it stands.
TEST_F(Cli, ByteOrderMarkIsKept) {
    for (const std::string end : {"\r\n", "\n"}) {
        const std::string text = "[main]" + end + "name=x" + end + "[two]" + end + "k=1" + end;
        const std::string ini = file("bom.ini", MARK + text);
        EXPECT_EQ(tool({"get", ini, "main", "name"}).out, "x\n");
        EXPECT_EQ(tool({"sections", ini}).out, "main\ntwo\n");
        EXPECT_EQ(tool({"keys", ini, "main"}).out, "name\n");
        EXPECT_EQ(tool({"dump", ini, "--format", "lines"}).out, "main\tname\tx\ntwo\tk\t1\n");
        EXPECT_EQ(tool({"set", ini, "main", "name", "y"}).status, 0);
        EXPECT_EQ(read_file(ini), MARK + "[main]" + end + "name=y\r\n[two]" + end + "k=1" + end);
        EXPECT_EQ(tool({"set", "-", "main", "name", "z"}, MARK + text).out,
                  MARK + "[main]" + end + "name=z\r\n[two]" + end + "k=1" + end);
    }
}

TEST_F(Cli, GetPrintsBytesUnchanged) {
    const std::string value = "tab\there 'q' \xC3\xA9 \xFF back\\slash $HOME";
    const std::string ini = file("a.ini", "k=" + value + "\n");
    EXPECT_EQ(tool({"get", ini, "", "k"}).out, value + "\n");
}

// A verb that reads FILE has nothing to say about one that is not there;
// a deletion has nothing to do.
TEST_F(Cli, MissingFileGivesStatus3UnlessNothingIsNeededFromIt) {
    const std::string ini = path("missing.ini");
    const std::string said = "brantcfg: cannot read " + ini + ": " + NO_FILE_ERROR + "\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    };
    const Case cases[] = {
        {{"get", ini, "s", "k"}, 3, "", said},
        {{"get", ini, "s", "k", "--type", "int"}, 3, "", said},
        {{"get", ini, "s", "k", "--default", "d"}, 0, "d\n", ""},
        {{"get", ini, "s", "k", "--type", "bool", "--default", "yes"}, 0, "1\n", ""},
        {{"keys", ini, "s"}, 3, "", said},
        {{"sections", ini}, 3, "", said},
        {{"dump", ini, "--format", "json"}, 3, "", said},
        {{"set", ini, "s", "k", "v", "--existing"}, 3, "", said},
        {{"del", ini, "s", "k"}, 0, "", ""},
        {{"del", ini, "s"}, 0, "", ""},
    };
    for (const Case &c : cases) {
        const Outcome o = tool(c.args);
        EXPECT_EQ(o.status, c.status) << ::testing::PrintToString(c.args);
        EXPECT_EQ(o.out, c.out) << ::testing::PrintToString(c.args);
        EXPECT_EQ(o.err, c.err) << ::testing::PrintToString(c.args);
    }
    EXPECT_FALSE(file_exists(ini));
}

// Every format prints its own empty value for a file without pairs, and
// refuses, whole and saying why, what it could only show changed: json a
// name or value that is not UTF-8, env two names that make one variable.
TEST_F(Cli, DumpFormatsPrintOrRefuseWhole) {
    struct Case {
        std::string bytes, format;
        int status;
        std::string out;
        std::string err = "";  // the message between "brantcfg: " and ": FILE"
    };
    const std::string nothing = "; nothing but a comment\r\n[section]\r\n";
    const Case cases[] = {
        {nothing, "ini", 0, ""},
        {nothing, "lines", 0, ""},
        {nothing, "json", 0, "[]\n"},
        {nothing, "env", 0, ""},
        {"[s]\r\nok=gr\xC3\xBC\r\nk=a\xFFz\r\n", "json", 3, "",
         "cannot dump FILE as json: the value of key \"k\" in section \"s\" is not UTF-8"},
        {"[s]\r\nk\xE9=v\r\n", "json", 3, "",
         "cannot dump FILE as json: the name of key \"k\xE9\" in section \"s\" is not UTF-8"},
        {"[s\xE9]\r\nk=v\r\n", "json", 3, "",
         "cannot dump FILE as json: the section name of key \"k\" in section \"s\xE9\" is not UTF-8"},
        {"[s]\r\na-b=1\r\na_b=2\r\n", "env", 3, "",
         "cannot dump FILE as env: key \"a-b\" in section \"s\" and key \"a_b\" in section \"s\" both make S_A_B"},
        {"a_b=1\r\n[a]\r\nb=2\r\n", "env", 3, "",
         "cannot dump FILE as env: key \"a_b\" in section \"\" and key \"b\" in section \"a\" both make A_B"},
        // One entry for lookups, written twice: the first wins, as a lookup finds it.
        {"[s]\r\nk=1\r\nK=2\r\n[S]\r\nk=3\r\n", "env", 0, "S_K='1'\n"},
    };
    for (const Case &c : cases) {
        const std::string ini = file("dump.ini", c.bytes);
        const Outcome o = tool({"dump", ini, "--format", c.format});
        EXPECT_EQ(o.status, c.status) << c.format << " " << c.bytes;
        EXPECT_EQ(o.out, c.out) << c.format << " " << c.bytes;
        std::string err = c.err;
        if (!err.empty()) err = "brantcfg: " + err.replace(err.find("FILE"), 4, ini) + "\n";
        EXPECT_EQ(o.err, err) << c.format << " " << c.bytes;
    }
}

TEST_F(Cli, UnreadablePathGivesStatus3) {
    const std::string dir = path("dir.ini");
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    const auto commands = [&](const std::string &target) {
        return std::vector<std::vector<std::string>>{
            {"get", target, "s", "k", "--default", "d"},
            {"keys", target, "s"},
            {"sections", target},
            {"dump", target},
            {"set", target, "s", "k", "v"},
            {"del", target, "s"},
            {"merge", path("into.ini"), target},
        };
    };
    for (const auto &args : commands(dir)) {
        const Outcome o = tool(args);
        EXPECT_EQ(o.status, 3) << args[0];
        EXPECT_EQ(o.out, "") << args[0];
        const std::string action = (args[0] == "set" || args[0] == "del") ? "write" : "read";
        EXPECT_EQ(o.err, "brantcfg: cannot " + action + " " + dir + ": " + FOLDER_ERROR + "\n") << args[0];
    }
    EXPECT_FALSE(file_exists(path("into.ini")));

    // A UTF-16 file opens, but its text is not 8-bit lines: no verb reads or
    // changes it, whether named or given on standard input.
    const std::string u16 = file("u16.ini", UTF16_FILE);
    std::vector<std::vector<std::string>> on_u16 = commands(u16);
    on_u16.push_back({"get", u16, "m", "k"});
    on_u16.push_back({"merge", u16, file("source.ini", "[m]\r\nk=y\r\n")});
    for (const auto &args : on_u16) {
        const Outcome o = tool(args);
        EXPECT_EQ(o.status, 3) << ::testing::PrintToString(args);
        EXPECT_EQ(o.out, "") << ::testing::PrintToString(args);
        EXPECT_EQ(o.err, utf16_said(u16)) << ::testing::PrintToString(args);
        EXPECT_EQ(read_file(u16), UTF16_FILE);
    }
    EXPECT_FALSE(file_exists(path("into.ini")));
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"get", "-", "m", "k"}, {"set", "-", "m", "k", "y"}, {"dump", "-"}}) {
        const Outcome o = tool(args, UTF16_FILE);
        EXPECT_EQ(o.status, 3) << args[0];
        EXPECT_EQ(o.out, "") << args[0];
        EXPECT_EQ(o.err, utf16_said("standard input")) << args[0];
    }
    EXPECT_EQ(tool({"set", path("none/a.ini"), "s", "k", "v"}).err,
              "brantcfg: cannot write " + path("none/a.ini") + ": " + NO_FILE_ERROR + "\n");

#if !defined(_WIN32)
    if (geteuid() == 0) return;  // root reads files whatever their mode
    const std::string locked = file("locked.ini", "[s]\nk=v\n");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    EXPECT_EQ(tool({"get", locked, "s", "k"}).err, "brantcfg: cannot read " + locked + ": Permission denied\n");
    EXPECT_EQ(tool({"set", locked, "s", "k", "w"}).status, 3);
#endif
}

TEST_F(Cli, BadArgumentsGiveStatus2AndHint) {
    const std::string ini = file("a.ini", SAMPLE);
    const std::vector<std::vector<std::string>> commands = {
        {},
        {"frob", ini},
        {"get", ini, "window"},
        {"get", ini, "window", "title", "extra"},
        {"get", ini, "window", ""},
        {"get", ini, "window", "width", "--type", "long"},
        {"get", ini, "window", "width", "--type", "int", "--default", "12abc"},
        {"get", ini, "window", "max", "--type", "bool", "--default", "maybe"},
        {"get", ini, "window", "title", "--verbose"},
        {"set", ini, "window", "width", "2147483648", "--type", "int"},
        {"set", ini, "window", "ratio", "1.5x", "--type", "float"},
        {"set", ini, "window", "max", "yes", "--type", "bool"},
        {"dump", ini, "--format", "xml"},
        {"--nope"},
    };
    const std::string before = read_file(ini);
    for (const auto &args : commands) {
        const Outcome o = tool(args);
        EXPECT_EQ(o.status, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(o.out, "") << ::testing::PrintToString(args);
        ASSERT_GE(o.err.size(), sizeof HINT) << ::testing::PrintToString(args);
        EXPECT_EQ(o.err.rfind("brantcfg: ", 0), 0u) << o.err;
        EXPECT_EQ(o.err.substr(o.err.size() - (sizeof HINT - 1)), HINT);
    }
    EXPECT_EQ(read_file(ini), before);
}

TEST_F(Cli, HelpAndVersion) {
    const Outcome help = tool({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    for (const char *verb : {"get", "set", "del", "sections", "keys", "dump", "merge"})
        EXPECT_NE(help.out.find(std::string("\n  brantcfg ") + verb + " "), std::string::npos) << verb;
    for (const char *status : {"0  success", "1  get, keys or set --existing", "2  usage", "3  a file"})
        EXPECT_NE(help.out.find(status), std::string::npos) << status;
    // The dialect, as plainly as the manual page says it.
    for (const char *point :
         {"511 bytes", "first wins", "byte-order mark", "CR LF", "--color=#fff", "home=\"https://example.org/#top\"",
          "window left -- -20", "Empty standard\ninput stands for a FILE that does not exist"})
        EXPECT_NE(help.out.find(point), std::string::npos) << point;
    EXPECT_EQ(tool({"frob", "--help"}).out, help.out);

    // Each verb has its own help, wherever -h or --help stands before "--".
    const std::string ini = file("a.ini", SAMPLE);
    std::vector<std::string> texts{help.out};
    for (const char *verb : {"get", "set", "del", "sections", "keys", "dump", "merge"}) {
        const Outcome own = tool({verb, "--help"});
        EXPECT_EQ(own.status, 0) << verb;
        EXPECT_EQ(own.out.rfind(std::string("Usage: brantcfg ") + verb + " ", 0), 0u) << own.out;
        EXPECT_EQ(tool({verb, ini, "window", "-h"}).out, own.out) << verb;
        texts.push_back(own.out);
    }
    EXPECT_EQ(tool({"del", ini, "--", "-h"}).status, 0);  // a section named "-h"
    for (const std::string &text : texts) {
        for (std::size_t start = 0, end = 0; start < text.size(); start = end + 1) {
            end = text.find('\n', start);
            EXPECT_LE(end - start, 79u) << text.substr(start, end - start);
        }
    }

    const Outcome version = tool({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("brantcfg ") + BRANTCFG_VERSION_STRING + "\n");
}

TEST_F(Cli, FullStandardOutputGivesStatus3) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no /dev/full";
#endif
    const std::string ini = file("a.ini", SAMPLE);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"get", ini, "window", "title"}, {"dump", ini, "--format", "json"}, {"--help"}}) {
        const Outcome o = run_program(TOOL, args, "", "/dev/full");
        EXPECT_EQ(o.status, 3) << args[0];
        EXPECT_EQ(o.err, "brantcfg: cannot write standard output: No space left on device\n");
    }
}

// ---- set and del --------------------------------------------------------------

TEST_F(Cli, SetCreatesMissingFileAndWritesTypes) {
    const std::string ini = path("new.ini");
    for (const std::vector<std::string> &args : {std::vector<std::string>{"", "top", "1"},
                                                 {"s", "text", "a ; b"},
                                                 {"s", "n", "-0x10", "--type", "int"},
                                                 {"s", "f", "2.5", "--type", "float"},
                                                 {"s", "p", "+7", "--type", "int"},
                                                 {"s", "e", ""}}) {
        std::vector<std::string> full{"set", ini};
        full.insert(full.end(), args.begin(), args.end());
        const Outcome o = tool(full);
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.out + o.err, "");
    }
    EXPECT_EQ(read_file(ini), "top=1\r\n[s]\r\ntext=\"a ; b\"\r\nn=-16\r\nf=2.5\r\np=7\r\ne=\r\n");
    EXPECT_EQ(tool({"get", ini, "s", "text"}).out, "a ; b\n");
}

TEST_F(Cli, VerboseTellsChangedFromUnchanged) {
    const std::string ini = file("a.ini", "[s]\r\nk=v ; note\r\nlong=" + std::string(600, 'x') + "\r\n");
    struct Case {
        std::vector<std::string> args;
        const char *said;
    };
    const Case cases[] = {
        {{"set", ini, "s", "k", "v"}, "unchanged\n"},  // same value, written another way
        {{"set", ini, "s", "k", "w"}, "changed\n"},
        {{"set", ini, "s", "k", "w"}, "unchanged\n"},
        {{"del", ini, "s", "gone"}, "unchanged\n"},
        {{"del", ini, "s", "k"}, "changed\n"},
        {{"del", ini, "nosuch"}, "unchanged\n"},
        {{"del", ini, "s"}, "changed\n"},
        {{"set", path("fresh.ini"), "s", "k", "v"}, "changed\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back("--verbose");
        const Outcome o = tool(args);
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.err, c.said) << ::testing::PrintToString(c.args);
        EXPECT_EQ(o.out, "");
    }
    EXPECT_EQ(read_file(ini), "");
}

// A name the library refuses is a usage error, found before the file is
// touched: a line break anywhere is refused by the tool itself.
TEST_F(Cli, LineBreakInANameOrValueIsAUsageError) {
    const std::string ini = file("a.ini", SAMPLE);
    struct Case {
        std::vector<std::string> args;
        std::string what;
    };
    const Case cases[] = {
        {{"set", ini, "window", "title", "a\nb"}, "VALUE"},
        {{"set", ini, "window", "title", "a\rb"}, "VALUE"},
        {{"set", ini, "window", "title", "\r\n[evil]\r\nk=v"}, "VALUE"},
        {{"set", ini, "new\nsection", "k", "v"}, "SECTION"},
        {{"set", ini, "window", "ti\ntle", "v"}, "KEY"},
        {{"set", "-", "window", "ti\ntle", "v"}, "KEY"},
        {{"del", ini, "window\r"}, "SECTION"},
        {{"del", ini, "window", "title\n"}, "KEY"},
        {{"get", ini, "window\n", "title"}, "SECTION"},
        {{"keys", ini, "a\nb"}, "SECTION"},
    };
    for (const Case &c : cases) {
        const Outcome o = tool(c.args, SAMPLE);
        EXPECT_EQ(o.status, 2) << ::testing::PrintToString(c.args);
        EXPECT_EQ(o.out, "") << ::testing::PrintToString(c.args);
        EXPECT_EQ(o.err, "brantcfg: " + c.what + " cannot hold a line break (CR or LF)\n" + HINT)
            << ::testing::PrintToString(c.args);
        EXPECT_EQ(read_file(ini), SAMPLE);
    }
}

// The library refuses, with EINVAL, to rewrite a file whose name ends in
// "~" (its temporary file's mark); the tool calls that a usage error. A
// change in place still works.
TEST_F(Cli, RefusalByTheLibraryIsAUsageError) {
    const std::string ini = file("a.in~", "[s]\r\nk=1\r\n");
    const Outcome o = tool({"set", ini, "s", "k", "longer"});
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err,
              "brantcfg: cannot rewrite " + ini + ": a name ending in \"~\" leaves no room for the temporary file\n");
    EXPECT_EQ(read_file(ini), "[s]\r\nk=1\r\n");
    EXPECT_EQ(tool({"set", ini, "s", "k", "2"}).status, 0);
    EXPECT_EQ(read_file(ini), "[s]\r\nk=2\r\n");
    // A merge is one rewrite, whatever its pairs would have done alone.
    const Outcome merged = tool({"merge", ini, "-"}, "[s]\nk=3\nj=4\n");
    EXPECT_EQ(merged.status, 2);
    EXPECT_EQ(merged.err, o.err);
    EXPECT_EQ(read_file(ini), "[s]\r\nk=2\r\n");
}

// Names and values whose lines would not read back as what was set are
// refused by the library before it opens the file: a usage error too.
TEST_F(Cli, NameTheLibraryCannotReadBackIsAUsageError) {
    const std::string ini = file("a.ini", SAMPLE);
    struct Case {
        std::string section, key, value;
        std::string reason;  // what the message says was wrong
    };
    const Case cases[] = {
        {"window", "a=b", "v", "a key cannot hold \"=\""},
        {"window", ";title", "v", "a key cannot begin with \"[\", \";\" or \"#\""},
        {"window", " title", "v", "a key cannot begin or end with a blank"},
        {"win]dow", "title", "v", "a section name cannot hold \"]\""},
        {std::string(508, 's'), "title", "v", "the header line would be 512 bytes, longer than 511"},
        {"window", "title", std::string(600, 'v'), "the key line would be 608 bytes, longer than 511"},
        // Quoted, the value's line grows by its quotes and escapes.
        {"window", "title", std::string(260, '"'), "the key line would be 530 bytes, longer than 511"},
        {"", "\xEF\xBB\xBFkey", "v", "a key above the first section cannot begin with a byte-order mark"},
    };
    for (const Case &c : cases) {
        const Outcome o = tool({"set", ini, "--", c.section, c.key, c.value});
        EXPECT_EQ(o.status, 2) << c.reason;
        EXPECT_EQ(o.err, "brantcfg: the library refuses to write section \"" + c.section + "\", key \"" + c.key +
                             "\" (" + c.reason + "): " + ini + "\n");
        EXPECT_EQ(read_file(ini), SAMPLE);
    }
    EXPECT_EQ(tool({"set", ini, "window", "", "v"}).status, 2);
}

TEST_F(Cli, SetExistingChangesOnlyKeysThatAreThere) {
    const std::string original = "top=0\r\n[s]\r\nk=1\r\nempty=\r\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string after;
    };
    const Case cases[] = {
        {{"s", "k", "2"}, 0, "top=0\r\n[s]\r\nk=2\r\nempty=\r\n"},
        {{"S", "K", "2"}, 0, "top=0\r\n[s]\r\nK=2\r\nempty=\r\n"},
        {{"s", "empty", "x"}, 0, "top=0\r\n[s]\r\nk=1\r\nempty=x\r\n"},
        {{"", "top", "x"}, 0, "top=x\r\n[s]\r\nk=1\r\nempty=\r\n"},
        {{"s", "k", "0x10", "--type", "int"}, 0, "top=0\r\n[s]\r\nk=16\r\nempty=\r\n"},
        {{"s", "new", "x"}, 1, original},
        {{"t", "k", "x"}, 1, original},
        {{"", "k", "x"}, 1, original},
    };
    for (const Case &c : cases) {
        const std::string ini = file("a.ini", original);
        std::vector<std::string> args{"set", ini};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back("--existing");
        const Outcome o = tool(args);
        EXPECT_EQ(o.status, c.status) << ::testing::PrintToString(c.args) << o.err;
        EXPECT_EQ(o.out + o.err, "") << ::testing::PrintToString(c.args);
        EXPECT_EQ(read_file(ini), c.after) << ::testing::PrintToString(c.args);
    }
    // Through standard input: nothing at all is written when the key is not there.
    Outcome o = tool({"set", "-", "s", "new", "x", "--existing"}, original);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    o = tool({"set", "-", "s", "k", "2", "--existing"}, original);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "top=0\r\n[s]\r\nk=2\r\nempty=\r\n");
    // Empty standard input is no file.
    o = tool({"set", "-", "s", "k", "2", "--existing"});
    EXPECT_EQ(o.status, 3);
    EXPECT_EQ(o.err, "brantcfg: cannot read standard input: it is empty, which stands for no file\n");
}

TEST_F(Cli, DelRemovesKeysAndSections) {
    const std::string ini = file("a.ini", "; head\r\ntop=1\r\n[a]\r\nx=1\r\ny=2\r\n[b]\r\nz=3\r\n");
    EXPECT_EQ(tool({"del", ini, "a", "x"}).status, 0);
    EXPECT_EQ(read_file(ini), "; head\r\ntop=1\r\n[a]\r\ny=2\r\n[b]\r\nz=3\r\n");
    EXPECT_EQ(tool({"del", ini, "A"}).status, 0);
    EXPECT_EQ(read_file(ini), "; head\r\ntop=1\r\n[b]\r\nz=3\r\n");
    EXPECT_EQ(tool({"del", ini, ""}).status, 0);
    EXPECT_EQ(read_file(ini), "[b]\r\nz=3\r\n");
}

// ---- sections and keys --------------------------------------------------------

TEST_F(Cli, SectionsAndKeysListNamesOnce) {
    const std::string ini = file("a.ini", "top=1\n[One]\na=1\nB:2\na=3\nb=4\n[two]\n[ONE]\nc=5\n[empty]\n");
    Outcome o = tool({"sections", ini});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "One\ntwo\nempty\n");
    o = tool({"keys", ini, "one"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "a\nB\n");
    o = tool({"keys", ini, ""});
    EXPECT_EQ(o.out, "top\n");
    EXPECT_EQ(o.status, 0);
    for (const char *section : {"empty", "two", "nosuch"}) {
        o = tool({"keys", ini, section});
        EXPECT_EQ(o.status, 1) << section;
        EXPECT_EQ(o.out + o.err, "") << section;
    }
}

// sections and keys read the file once, each name as the export for its
// position gives it and up to the same end: compared with the listings of
// the C++ layer, which asks the exports position by position, on files
// where a pass of its own could part from them, and on the corpus.
TEST_F(Cli, OnePassListingsGiveWhatTheExportsGive) {
    using namespace std::string_literals;
    const auto collect = [](const char *name, int length, void *names) {
        static_cast<std::vector<std::string> *>(names)->emplace_back(name, static_cast<std::size_t>(length));
        return true;
    };
    const auto compare = [&](const std::string &ini, const std::string &what, std::size_t most_sections) {
        std::vector<std::string> names;
        ASSERT_TRUE(brantcfg::detail::walk_sections(ini.c_str(), collect, &names)) << what;
        const std::vector<std::string> sections = brantcfg::sections(ini);
        EXPECT_EQ(names, sections) << what;
        std::vector<std::string> asked{"", "nosuch"};
        asked.insert(asked.end(), sections.begin(), sections.begin() + std::min(sections.size(), most_sections));
        for (const std::string &section : asked) {
            names.clear();
            ASSERT_TRUE(brantcfg::detail::walk_keys(ini.c_str(), section.c_str(), collect, &names)) << what;
            EXPECT_EQ(names, brantcfg::keys(ini, section)) << what << " [" << section << "]";
        }
    };
    const std::string tricky[] = {
        "",
        MARK + "[a]\r\nk=1\r\n",
        MARK + "top=1\r\n",
        UTF16_FILE,
        "top=0\n[a]\nk=1\n[b\nx=2\n[c]\ny=3\n",          // "[b" ends a section, opens none
        "top=1\n[]\n[after]\nk=1\n",                     // "[]" ends the list of sections
        "[a]\nx=1\n=empty\ny=2\n",                       // "=empty" ends the list of keys
        "[a]\nx=1\nX=2\n[A]\ny=2\n[a]\nz=3\n",           // repeated names, all listed
        "[" + std::string(600, 'n') + "]\n[b]\nk=1\n",   // a header longer than a piece
        "[a]\n" + std::string(509, ';') + "[x]\nk=1\n",  // "[x]" begins the next piece
        "[a]\n" + std::string(511, 'k') + "=v\nj=1\n",   // a key cut by a piece: "=v" ends the list
        "[a] ; c\n  k : v\n#c=1\nnosep\n\t[b]\t\nm=1\n",
        "[a]\r\nk=1\0x=2\r\n\0[b]\r\n[c]\r\nj=1\r\n"s,
        "[a]\nk=1",
    };
    for (const std::string &bytes : tricky) compare(file("tricky.ini", bytes), ::testing::PrintToString(bytes), 99);
    for (const std::string &corpus_file : corpus_files()) compare(corpus_file, corpus_file, 40);
}

// ---- standard input ---------------------------------------------------------

TEST_F(Cli, DashReadsStandardInputAndWritesChangesToStandardOutput) {
    const std::string input = "top=1\n[a]\nx=1\n; note\n[b]\ny=2\n";
    const std::string source = file("source.ini", "[b]\ny=3\nz=4\n");
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string out;
    };
    const Case cases[] = {
        {{"get", "-", "a", "x"}, input, 0, "1\n"},
        {{"get", "-", "a", "none"}, input, 1, ""},
        {{"get", "-", "a", "none", "--default", "d"}, input, 0, "d\n"},
        {{"get", "-", "a", "x", "--type", "bool"}, input, 0, "1\n"},
        {{"sections", "-"}, input, 0, "a\nb\n"},
        {{"keys", "-", "a"}, input, 0, "x\n"},
        {{"keys", "-", "c"}, input, 1, ""},
        {{"dump", "-", "--format", "lines"}, input, 0, "\ttop\t1\na\tx\t1\nb\ty\t2\n"},
        // Empty input stands for a missing file, for every verb.
        {{"dump", "-", "--format", "json"}, "", 3, ""},
        {{"get", "-", "a", "x"}, "", 3, ""},
        {{"get", "-", "a", "x", "--default", "d"}, "", 0, "d\n"},
        {{"sections", "-"}, "", 3, ""},
        {{"keys", "-", "a"}, "", 3, ""},
        {{"set", "-", "a", "x", "22"}, input, 0, "top=1\n[a]\nx=22\r\n; note\n[b]\ny=2\n"},
        {{"set", "-", "a", "x", "1"}, input, 0, input},
        {{"set", "-", "c", "k", "v"}, input, 0, input + "\r\n[c]\r\nk=v\r\n"},
        // Empty input is no file: no empty line before the new section.
        {{"set", "-", "c", "k", "v"}, "", 0, "[c]\r\nk=v\r\n"},
        {{"del", "-", "a", "x"}, input, 0, "top=1\n[a]\n; note\n[b]\ny=2\n"},
        {{"del", "-", "a"}, input, 0, "top=1\n[b]\ny=2\n"},
        {{"del", "-", "a"}, "", 0, ""},
        {{"merge", "-", source}, input, 0, "top=1\n[a]\nx=1\n; note\n[b]\ny=3\r\nz=4\r\n"},
        {{"merge", "-"}, input, 2, ""},
        {{"merge", "-", "-"}, input, 2, ""},
    };
    for (const Case &c : cases) {
        const Outcome o = tool(c.args, c.input);
        EXPECT_EQ(o.status, c.status) << ::testing::PrintToString(c.args) << o.err;
        EXPECT_EQ(o.out, c.out) << ::testing::PrintToString(c.args);
    }
    EXPECT_FALSE(file_exists("-"));
    EXPECT_FALSE(file_exists(path("-")));
}

// Standard input is copied into a folder of the tool's own in the system's
// temporary folder, which is gone when the tool ends, however it ends.
TEST_F(Cli, PrivateCopiesOfStandardInputAreRemoved) {
#if defined(_WIN32)
    const std::vector<const char *> names{"TMP", "TEMP"};
#else
    const std::vector<const char *> names{"TMPDIR"};
#endif
    // Set for the tool, and put back however the test ends.
    struct saved_environment {
        std::vector<std::pair<const char *, std::optional<std::string>>> values;
        ~saved_environment() {
            for (const auto &[name, value] : values) brantcfg_test::set_env(name, value ? value->c_str() : nullptr);
        }
    } saved;
    for (const char *name : names) {
        const char *value = std::getenv(name);
        saved.values.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    const auto use_temporary_folder = [&](const std::string &folder) {
        for (const char *name : names) brantcfg_test::set_env(name, folder.c_str());
    };
    const std::string folder = path("tmp");
    std::filesystem::create_directory(folder);

    // A temporary folder that is not there shows that the tool uses it.
    use_temporary_folder(path("no-such-folder"));
    const Outcome lost = tool({"get", "-", "a", "x"}, "[a]\nx=1\n");
    use_temporary_folder(folder);
    EXPECT_EQ(lost.status, 3);
    EXPECT_EQ(lost.err.rfind("brantcfg: cannot find the temporary folder: ", 0), 0u) << lost.err;

    const std::string into = file("into.ini", "[a]\r\nx=1\r\n");
    const std::vector<std::pair<std::vector<std::string>, int>> commands = {
        {{"get", "-", "a", "x"}, 0},
        {{"get", "-", "a", "y"}, 1},
        {{"keys", "-", "none"}, 1},
        {{"set", "-", "a", "x", "a much longer value"}, 0},
        {{"del", "-", "a"}, 0},
        {{"merge", into, "-"}, 0},
        {{"merge", into}, 0},
        {{"set", "-", "a", "y", "v", "--existing"}, 1},
        {{"dump", "-", "--format", "xml"}, 2},
    };
    for (const auto &[args, status] : commands) {
        EXPECT_EQ(tool(args, "[a]\r\nx=1\r\n").status, status) << ::testing::PrintToString(args);
        EXPECT_EQ(brantcfg_test::list_dir(folder), std::vector<std::string>{}) << ::testing::PrintToString(args);
    }
}

// ---- dump formats read back ---------------------------------------------------

// Names and values a careless format gets wrong.
const char AWKWARD[] =
    "plain=1\n"
    "[net.work-1]\n"
    "quote = it's \"x\"\n"
    "subst = $(touch pwned) `touch pwned` $HOME\n"
    "comment = \" a ; b # c \"\n"
    "back = \"\\\\\"\n"
    "tab = a\tb\n"
    "pad = \"  x\t\"\n"
    "utf8 = gr\xC3\xBC\xC3\x9F\n"
    "empty =\n"
    "[9lives]\n"
    "k.e-y = star * ?\n"
    "[]\n"
    "late = nameless again\n";

using Pairs = std::vector<std::tuple<std::string, std::string, std::string>>;

Pairs browse(const std::string &path) {
    Pairs pairs;
    const auto collect = [](const char *section, const char *key, const char *value, void *user) -> int {
        static_cast<decltype(pairs) *>(user)->emplace_back(section, key, value);
        return 1;
    };
    EXPECT_EQ(ini_browse(collect, &pairs, path.c_str()), 1);
    return pairs;
}

// What "dump --format lines" prints for pairs.
std::string as_lines(const Pairs &pairs) {
    std::string lines;
    for (const auto &[section, key, value] : pairs) lines += section + "\t" + key + "\t" + value + "\n";
    return lines;
}

TEST_F(Cli, DumpIniAndLinesReadBackToSamePairs) {
    const std::string source = file("a.ini", AWKWARD);
    const Outcome ini = tool({"dump", source});
    ASSERT_EQ(ini.status, 0);
    const std::string copy = file("copy.ini", ini.out);
    EXPECT_EQ(browse(copy), browse(source)) << ini.out;

    EXPECT_EQ(tool({"dump", source, "--format", "lines"}).out, as_lines(browse(source)));
}

TEST_F(Cli, DumpJsonReadsBackWithPython) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs Python";
#endif
    const std::string source = file("a.ini", AWKWARD);
    const Outcome json = tool({"dump", source, "--format", "json"});
    ASSERT_EQ(json.status, 0);
    const std::string json_path = file("out.json", json.out);
    EXPECT_EQ(run_program("python3", {"-m", "json.tool", json_path}).status, 0);
    // Python prints each pair's three strings, UTF-8, joined by \x01.
    const Outcome read = run_program(
        "python3",
        {"-c",
         "import json, sys\n"
         "for o in json.load(open(sys.argv[1], encoding='utf-8')):\n"
         "    sys.stdout.buffer.write('\\x01'.join([o['section'], o['key'], o['value']]).encode() + b'\\n')\n",
         json_path});
    ASSERT_EQ(read.status, 0) << read.err;
    std::string expected;
    for (const auto &[section, key, value] : browse(source)) expected += section + "\x01" + key + "\x01" + value + "\n";
    EXPECT_EQ(read.out, expected);
}

TEST_F(Cli, DumpEnvIsSafeToEval) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs a POSIX shell";
#endif
    const std::string source = file("a.ini", AWKWARD);
    const Outcome env = tool({"dump", source, "--format", "env"});
    ASSERT_EQ(env.status, 0);
    const std::string env_path = file("out.env", env.out);
    const std::map<std::string, std::string> expected = {
        {"PLAIN", "1"},
        {"NET_WORK_1_QUOTE", "it's \"x\""},
        {"NET_WORK_1_SUBST", "$(touch pwned) `touch pwned` $HOME"},
        {"NET_WORK_1_COMMENT", " a ; b # c "},
        {"NET_WORK_1_BACK", "\\\\"},
        {"NET_WORK_1_TAB", "a\tb"},
        {"NET_WORK_1_PAD", "  x\t"},
        {"NET_WORK_1_UTF8", "gr\xC3\xBC\xC3\x9F"},
        {"NET_WORK_1_EMPTY", ""},
        {"_9LIVES_K_E_Y", "star * ?"},
        {"LATE", "nameless again"},
    };
    std::string script = "cd \"$1\" && eval \"$(cat \"$2\")\" && printf '%s\\001' ";
    std::string wanted;
    for (const auto &[name, value] : expected) {
        script += " \"$" + name + "\"";
        wanted += value + "\x01";
    }
    const Outcome shell = run_program("sh", {"-c", script, "sh", dir_, env_path});
    EXPECT_EQ(shell.status, 0) << shell.err << env.out;
    EXPECT_EQ(shell.out, wanted) << env.out;
    EXPECT_FALSE(file_exists(path("pwned")));
}

// ---- merge --------------------------------------------------------------------

TEST_F(Cli, MergeSetsPairsInOrder) {
    const std::string into = file("into.ini", "[a]\r\nx=old\r\nkeep=1\r\n");
    const std::string source = file("src.ini", "top=t\n[A]\nx=new\ny=2\n[b]\nz=3\n[a]\ny=last\n=nameless key\n");
    Outcome o = tool({"merge", into, source, "--verbose"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "changed\n");
    EXPECT_EQ(read_file(into), "top=t\r\n[a]\r\nx=new\r\nkeep=1\r\ny=last\r\n[b]\r\nz=3\r\n");

    o = tool({"merge", into, "--verbose"}, "[b]\nz = 3 ; same value\n");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "unchanged\n");
    o = tool({"merge", into, "-"}, "[b]\nz=4\n");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(tool({"get", into, "b", "z"}).out, "4\n");

    o = tool({"merge", into, path("missing.ini")});
    EXPECT_EQ(o.status, 3);
    EXPECT_EQ(o.err, "brantcfg: cannot read " + path("missing.ini") + ": No such file or directory\n");
}

// A pair the library would refuse stops the merge before the file is
// touched: not one pair lands, the ones before it included.
TEST_F(Cli, MergeRefusesBeforeTouchingTheFile) {
    const std::string original = "[a]\r\nx=0\r\n";
    const std::string into = file("into.ini", original);
    const struct {
        std::string source;
        std::string refused;
    } cases[] = {
        {"[a]\nx=1\nk=a\rb\n", "section \"a\", key \"k\" (a name or value cannot hold a line break, CR or LF)"},
        // A header read whole whose line, written, would not fit a piece.
        {"x=1\n[" + std::string(508, 'n') + "]\nk=v\n",
         "section \"" + std::string(508, 'n') + "\", key \"k\" (the header line would be 512 bytes, longer than 511)"},
    };
    for (const auto &c : cases) {
        const std::string source = file("source.ini", c.source);
        for (const bool through_stdin : {false, true}) {
            const Outcome o = through_stdin ? tool({"merge", "-", source}, original) : tool({"merge", into, source});
            EXPECT_EQ(o.status, 2) << o.err;
            const std::string name = through_stdin ? "standard input" : into;
            EXPECT_EQ(o.err, "brantcfg: the library refuses to write " + c.refused + ": " + name + "\n");
            EXPECT_EQ(o.out, "");
        }
        EXPECT_EQ(read_file(into), original);
    }
    EXPECT_FALSE(file_exists(path("into.in~")));
}

// Merging a real-world file into a new one gives, for every section and key
// (compared without regard to case), the last value the source holds, in
// the order of first appearance, with the nameless section first. Files with
// values the format cannot write back as they read (blanks at either end,
// lines that must be read in pieces) are left out.
TEST_F(Cli, MergeCorpusFileIntoNewFile) {
    const std::vector<std::string> files = corpus_files();
    if (files.empty()) GTEST_SKIP() << "no corpus beside the repository";
    const auto fold = [](std::string text) {
        for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    int merged = 0;
    for (const std::string &source : files) {
        if (is_utf16(read_file(source))) {
            const Outcome o = tool({"merge", path("from-utf16.ini"), source});
            EXPECT_EQ(o.status, 3) << source;
            EXPECT_EQ(o.err, utf16_said(source));
            EXPECT_FALSE(file_exists(path("from-utf16.ini")));
            continue;
        }
        using Pair = Pairs::value_type;
        std::vector<Pair> expected;
        bool writable = true;
        for (const auto &[section, key, value] : browse(source)) {
            if (key.empty() || key[0] == '[') continue;  // merge leaves these out
            const unsigned char first = value.empty() ? 'x' : value.front(), last = value.empty() ? 'x' : value.back();
            if (first <= ' ' || (last < ' ') || section.size() + key.size() + value.size() > 400) writable = false;
            const Pair folded{fold(section), fold(key), value};
            auto at = expected.begin();
            while (at != expected.end() &&
                   !(std::get<0>(*at) == std::get<0>(folded) && std::get<1>(*at) == std::get<1>(folded)))
                ++at;
            if (at != expected.end())
                std::get<2>(*at) = value;
            else
                expected.push_back(folded);
        }
        if (!writable) continue;
        std::stable_sort(expected.begin(), expected.end(), [](const Pair &a, const Pair &b) {
            return std::get<0>(a).empty() && !std::get<0>(b).empty();
        });
        // Sections stay together in the order they first appear.
        std::vector<Pair> grouped;
        for (const Pair &p : expected) {
            bool seen = false;
            for (const Pair &q : grouped) seen = seen || std::get<0>(q) == std::get<0>(p);
            if (seen) continue;
            for (const Pair &q : expected)
                if (std::get<0>(q) == std::get<0>(p)) grouped.push_back(q);
        }

        const std::string into = path("merged-" + std::to_string(merged) + ".ini");
        const Outcome o = tool({"merge", into, source});
        ASSERT_EQ(o.status, 0) << source << ": " << o.err;
        // Nothing to set creates nothing.
        EXPECT_EQ(file_exists(into), !grouped.empty()) << source;
        if (grouped.empty()) continue;
        const Pairs merged_pairs = browse(into);
        std::vector<Pair> got;
        for (const auto &[section, key, value] : merged_pairs) got.emplace_back(fold(section), fold(key), value);
        EXPECT_EQ(got, grouped) << source;
        EXPECT_EQ(tool({"dump", into, "--format", "lines"}).out, as_lines(merged_pairs)) << source;
        ++merged;
    }
    EXPECT_GT(merged, static_cast<int>(files.size()) / 2) << "too few corpus files were merged";
}

// merge gives byte for byte what setting the source's pairs one after
// another with ini_puts gives: each corpus file is merged into a copy of
// the next one, every second time through standard input and output.
TEST_F(Cli, MergeEqualsSettingEachPairInTurn) {
    const std::vector<std::string> files = corpus_files();
    if (files.empty()) GTEST_SKIP() << "no corpus beside the repository";
    const std::string expected_path = path("expected.ini");
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string &source = files[i];
        const std::string target = read_file(files[(i + 1) % files.size()]);
        const bool through_stdin = i % 2 == 1;
        if (is_utf16(target) || is_utf16(read_file(source))) {
            // Refused whole, the UTF-16 file named: the target stays as it was.
            const std::string into = file("merged.ini", target);
            const Outcome o = through_stdin ? tool({"merge", "-", source}, target) : tool({"merge", into, source});
            EXPECT_EQ(o.status, 3) << source;
            EXPECT_EQ(o.out, "") << source;
            EXPECT_NE(o.err.find(" is UTF-16; "), std::string::npos) << o.err;
            EXPECT_TRUE(read_file(into) == target) << source;
            continue;
        }
        std::remove(expected_path.c_str());
        // Empty standard input is read as no file at all.
        if (!through_stdin || !target.empty()) write_file(expected_path, target);
        for (const auto &[section, key, value] : browse(source)) {
            if (key.empty() || key[0] == '[') continue;  // merge leaves these out
            ASSERT_EQ(ini_puts(section.c_str(), key.c_str(), value.c_str(), expected_path.c_str()), 1)
                << source << ": [" << section << "] " << key;
        }
        const std::string expected = read_file(expected_path);
        std::string merged;
        if (through_stdin) {
            const Outcome o = tool({"merge", "-", source}, target);
            ASSERT_EQ(o.status, 0) << source << ": " << o.err;
            merged = o.out;
        } else {
            const std::string into = file("merged.ini", target);
            const Outcome o = tool({"merge", into, source});
            ASSERT_EQ(o.status, 0) << source << ": " << o.err;
            merged = read_file(into);
        }
        // Compared whole, without printing two files of up to a megabyte.
        EXPECT_TRUE(merged == expected) << source << " into " << files[(i + 1) % files.size()] << ": " << merged.size()
                                        << " bytes, expected " << expected.size();
    }
}

}  // namespace
