// The command-line tool, end to end: each case runs the built binary with
// its standard streams on files and checks what it printed, its exit status
// and the file it worked on. Grouped per verb, then the output formats
// read back by real parsers, then merging real-world files.
#include "brantcfg.h"
#include "support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <string>
#include <tuple>
#include <vector>

extern char **environ;

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

class Cli : public brantcfg_test::ScratchDir {
protected:
    void SetUp() override {
        if (TOOL[0] == '\0') GTEST_SKIP() << "the tool is not built";
        ScratchDir::SetUp();
    }

    // Runs program (found on PATH) with args; standard input holds input,
    // standard output goes to stdout_path (a scratch file when empty).
    Outcome run_program(const std::string &program, const std::vector<std::string> &args,
                        const std::string &input = "", std::string stdout_path = "") {
        const std::string in = path("stdin.txt"), err = path("stderr.txt");
        const bool capture = stdout_path.empty();
        if (capture) stdout_path = path("stdout.txt");
        write_file(in, input);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char *> argv{const_cast<char *>(program.c_str())};
        for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        pid_t child = 0;
        Outcome outcome;
        const int spawned = posix_spawnp(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            ADD_FAILURE() << "cannot run " << program;
            return outcome;
        }
        int wait_status = 0;
        waitpid(child, &wait_status, 0);
        outcome.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
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

const char SAMPLE[] =
    "top=above\r\n"
    "[window]\r\n"
    "title = \"Main ; window\" ; comment\r\n"
    "empty=\r\n"
    "width=0x280\r\n"
    "ratio=1.5\r\n"
    "max=Yes\r\n"
    "odd=maybe\r\n"
    "[Window]\r\n"
    "late=unreachable\r\n";

// ---- get ----------------------------------------------------------------------

TEST_F(Cli, GetPrintsValuesAndStatuses) {
    const std::string ini = file("a.ini", SAMPLE);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
    };
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
        {{"window", "odd", "--type", "bool"}, 1, ""},
        {{"window", "odd", "--type", "bool", "--default", "no"}, 0, "0\n"},
        {{"window", "title", "--type", "string"}, 0, "Main ; window\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args{"get", ini};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome o = tool(args);
        EXPECT_EQ(o.status, c.status) << ::testing::PrintToString(c.args) << o.err;
        EXPECT_EQ(o.out, c.out) << ::testing::PrintToString(c.args);
        EXPECT_EQ(o.err, "") << ::testing::PrintToString(c.args);
    }
}

TEST_F(Cli, GetPrintsBytesUnchanged) {
    const std::string value = "tab\there 'q' \xC3\xA9 \xFF back\\slash $HOME";
    const std::string ini = file("a.ini", "k=" + value + "\n");
    EXPECT_EQ(tool({"get", ini, "", "k"}).out, value + "\n");
}

TEST_F(Cli, GetOnMissingFileCreatesNothing) {
    const std::string ini = path("missing.ini");
    EXPECT_EQ(tool({"get", ini, "s", "k"}).status, 1);
    const Outcome o = tool({"get", ini, "s", "k", "--default", "d"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "d\n");
    EXPECT_EQ(tool({"keys", ini, "s"}).status, 1);
    EXPECT_EQ(tool({"sections", ini}).status, 0);
    EXPECT_EQ(tool({"dump", ini}).status, 0);
    EXPECT_EQ(tool({"del", ini, "s", "k"}).status, 0);
    EXPECT_FALSE(file_exists(ini));
}

TEST_F(Cli, UnreadablePathGivesStatus3) {
    const std::string dir = path("dir.ini");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const std::vector<std::vector<std::string>> commands = {
        {"get", dir, "s", "k", "--default", "d"}, {"keys", dir, "s"}, {"sections", dir},
        {"dump", dir},                              {"set", dir, "s", "k", "v"}, {"del", dir, "s"},
        {"merge", path("into.ini"), dir},
    };
    for (const auto &args : commands) {
        const Outcome o = tool(args);
        EXPECT_EQ(o.status, 3) << args[0];
        EXPECT_EQ(o.out, "") << args[0];
        const std::string action = (args[0] == "set" || args[0] == "del") ? "write" : "read";
        EXPECT_EQ(o.err, "brantcfg: cannot " + action + " " + dir + ": Is a directory\n") << args[0];
    }
    EXPECT_FALSE(file_exists(path("into.ini")));

    if (geteuid() == 0) return;  // root reads files whatever their mode
    const std::string locked = file("locked.ini", "[s]\nk=v\n");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    EXPECT_EQ(tool({"get", locked, "s", "k"}).err, "brantcfg: cannot read " + locked + ": Permission denied\n");
    EXPECT_EQ(tool({"set", locked, "s", "k", "w"}).status, 3);
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
    for (const char *status : {"0  success", "1  get or keys", "2  usage", "3  a file"})
        EXPECT_NE(help.out.find(status), std::string::npos) << status;
    EXPECT_EQ(tool({"set", "--help"}).out, help.out);

    const Outcome version = tool({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("brantcfg ") + BRANTCFG_VERSION_STRING + "\n");
}

TEST_F(Cli, FullStandardOutputGivesStatus3) {
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
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"", "top", "1"}, {"s", "text", "a ; b"}, {"s", "n", "-0x10", "--type", "int"},
          {"s", "f", "2.5", "--type", "float"}, {"s", "e", ""}}) {
        std::vector<std::string> full{"set", ini};
        full.insert(full.end(), args.begin(), args.end());
        const Outcome o = tool(full);
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.out + o.err, "");
    }
    EXPECT_EQ(read_file(ini), "top=1\r\n[s]\r\ntext=\"a ; b\"\r\nn=-16\r\nf=2.500000\r\ne=\r\n");
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

TEST_F(Cli, LineBreakInValueIsRefusedAndFileUntouched) {
    const std::string ini = file("a.ini", SAMPLE);
    for (const char *value : {"a\nb", "a\rb", "\r\n[evil]\r\nk=v"}) {
        const Outcome o = tool({"set", ini, "window", "title", value});
        EXPECT_EQ(o.status, 3);
        EXPECT_EQ(o.err, "brantcfg: cannot write " + ini + ": Invalid argument\n");
        EXPECT_EQ(read_file(ini), SAMPLE);
    }
    EXPECT_EQ(tool({"set", ini, "new\nsection", "k", "v"}).status, 3);
    EXPECT_EQ(read_file(ini), SAMPLE);
    EXPECT_EQ(tool({"set", path("none/a.ini"), "s", "k", "v"}).err,
              "brantcfg: cannot write " + path("none/a.ini") + ": No such file or directory\n");
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
    const std::string source = file("a.ini", AWKWARD);
    const Outcome json = tool({"dump", source, "--format", "json"});
    ASSERT_EQ(json.status, 0);
    const std::string json_path = file("out.json", json.out);
    EXPECT_EQ(run_program("python3", {"-m", "json.tool", json_path}).status, 0);
    // Python prints each pair's three strings, UTF-8, joined by \x01.
    const Outcome read = run_program(
        "python3", {"-c",
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
        using Pair = Pairs::value_type;
        std::vector<Pair> expected;
        bool writable = true;
        for (const auto &[section, key, value] : browse(source)) {
            if (key.empty() || key[0] == '[') continue;  // merge leaves these out
            const unsigned char first = value.empty() ? 'x' : value.front(), last = value.empty() ? 'x' : value.back();
            if (first <= ' ' || (last < ' ') || section.size() + key.size() + value.size() > 400) writable = false;
            const Pair folded{fold(section), fold(key), value};
            auto at = expected.begin();
            while (at != expected.end() && !(std::get<0>(*at) == std::get<0>(folded) &&
                                             std::get<1>(*at) == std::get<1>(folded)))
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

}  // namespace
