// The help texts of the command-line tool; see help.h. Each verb and each
// option is described once, in the tables below; the tool's help and each
// verb's own help are put together from them.
#include "help.h"

#include <array>

namespace brantcfg_tool {
namespace {

struct option_text {
    std::string_view name;
    std::string_view text;  // lines, each ending in "\n"
};

constexpr option_text OPTIONS[] = {
    {"--default TEXT",
     "print TEXT when KEY is absent (with --type: or empty),\n"
     "or FILE missing, instead of exiting with status 1 or 3\n"
     "(converted by --type); never for a value of another type\n"},
    {"--type TYPE",
     "string (the default); int, a 32-bit integer, decimal\n"
     "or 0x hexadecimal, with a sign (- or +) or none; float,\n"
     "a single-precision number (1.5, 1e-3, inf); bool (get\n"
     "only), yes/no, true/false, on/off or 1/0 in any letter\n"
     "case, printed as 1 or 0. get exits with status 1 and\n"
     "says what it found when the value is not of TYPE\n"},
    {"--existing",
     "change KEY only when it is there, else write nothing\n"
     "and exit with status 1\n"},
    {"--format FORMAT", "ini (the default), lines, json or env\n"},
    {"--verbose", "say \"changed\" or \"unchanged\" on standard error\n"},
    {"-h, --help", "show the help (of the verb before it) and exit\n"},
    {"--version", "show the version and exit\n"},
};

struct verb_text {
    std::string_view name;
    std::string_view synopsis;  // the arguments after the verb
    std::string_view summary;   // one line, for the tool's help
    std::string_view details;   // lines for the verb's own help
    std::array<std::string_view, 4> options;
};

constexpr verb_text VERBS[] = {
    {"get",
     "FILE SECTION KEY [--default TEXT] [--type TYPE]",
     "Print the value of KEY in SECTION.",
     "The value is printed byte for byte and a line feed after it, decoded\n"
     "as the library reads it: a comment after it cut, surrounding double\n"
     "quotes removed. When KEY is absent, print the --default text, or\n"
     "nothing with status 1. A FILE that does not exist is an error\n"
     "(status 3) unless --default is given. FILE - reads standard input.\n",
     {"--default TEXT", "--type TYPE"}},
    {"set",
     "FILE SECTION KEY VALUE [--type TYPE] [--existing] [--verbose]",
     "Set KEY to VALUE, creating the file and the section when missing.",
     "Only the line of KEY changes, at its place, and every other byte of\n"
     "the file is kept; a file whose length changes is replaced atomically.\n"
     "A VALUE holding \", ; or #, or beginning or ending with a blank, is\n"
     "written between double quotes. A VALUE that begins with - needs --\n"
     "before it (brantcfg set app.ini window left -- -20); so does a SECTION\n"
     "or KEY that does. SECTION, KEY and VALUE cannot hold a line break, and\n"
     "a set whose line would not read back (such as a line longer than 511\n"
     "bytes) is refused with status 2, the reason said. With --existing, a\n"
     "FILE that does not exist is an error (status 3). FILE - reads the file\n"
     "from standard input and writes the changed file to standard output.\n",
     {"--type TYPE", "--existing", "--verbose"}},
    {"del",
     "FILE SECTION [KEY] [--verbose]",
     "Delete KEY, or without KEY the whole section.",
     "A section goes with its header and every line up to the next line\n"
     "that begins with \"[\". Deleting what is not there succeeds and\n"
     "changes nothing; a FILE that does not exist is not created. FILE -\n"
     "reads the file from standard input and writes the changed file to\n"
     "standard output.\n",
     {"--verbose"}},
    {"sections",
     "FILE",
     "List the section names, one a line.",
     "Names are listed in file order, each once (names that differ only in\n"
     "letter case count as one); the list ends at a header \"[]\". A FILE\n"
     "that does not exist is an error (status 3). FILE - reads standard\n"
     "input.\n",
     {}},
    {"keys",
     "FILE SECTION",
     "List the key names of SECTION, one a line.",
     "Names are listed in file order from the first block of SECTION, each\n"
     "once; the list ends at a line \"=value\". Status 1 when SECTION has no\n"
     "keys or is not there; a FILE that does not exist is an error\n"
     "(status 3). FILE - reads standard input.\n",
     {}},
    {"dump",
     "FILE [--format FORMAT]",
     "Print every pair.",
     "Pairs are printed in file order, repeated ones included, as\n"
     "  ini    a file that reads back to the same pairs (the default)\n"
     "  lines  SECTION<TAB>KEY<TAB>VALUE, one pair a line\n"
     "  json   an array of {\"section\", \"key\", \"value\"} objects; [] for\n"
     "         a file without pairs. A name or value that is not UTF-8 is\n"
     "         refused (status 3, the key said), never changed\n"
     "  env    SECTION_KEY='VALUE' assignments for sh's eval. Of a key\n"
     "         repeated, or written in another letter case, the first\n"
     "         wins; two names that make one variable (a-b and a_b) are\n"
     "         refused (status 3, both said)\n"
     "A FILE that does not exist is an error (status 3). FILE - reads\n"
     "standard input.\n",
     {"--format FORMAT"}},
    {"merge",
     "FILE [SOURCE] [--verbose]",
     "Set every pair of SOURCE into FILE, in order.",
     "FILE ends as set would leave it, one pair after another, but it is\n"
     "changed once: every pair lands in one rewrite, so a reader sees FILE\n"
     "before the merge or after it. A pair the library refuses (status 2)\n"
     "stops the merge before FILE is touched; a merge that changes nothing\n"
     "writes nothing. Pairs without a key name and pairs whose key begins\n"
     "with \"[\" are left out. SOURCE is standard input when it is - or\n"
     "left out; a SOURCE that does not exist is an error (status 3).\n"
     "FILE - reads the file from standard input (SOURCE is then a file)\n"
     "and writes the merged file to standard output.\n",
     {"--verbose"}},
};

constexpr std::string_view TOOL_USAGE =
    "Usage: brantcfg VERB FILE [ARGUMENTS] [OPTIONS]\n"
    "       brantcfg VERB --help\n"
    "       brantcfg --help | --version\n"
    "\n"
    "Reads and changes INI files through the brantcfg library. FILE - means\n"
    "standard input: get, sections, keys and dump read it; set, del and merge\n"
    "read it and write the changed file to standard output. Empty standard\n"
    "input stands for a FILE that does not exist, for every verb.\n";

constexpr std::string_view TOOL_NOTES =
    "\n"
    "An empty SECTION (\"\") means the keys above the first section header.\n"
    "Values are printed byte for byte; names match without regard to case.\n"
    "\n"
    "The dialect:\n"
    "  [section] headers, KEY=VALUE or KEY:VALUE lines and comment lines that\n"
    "  begin with ; or # are read as anywhere, with CR LF or LF line ends and\n"
    "  names in any letter case. Files written for this dialect, and classic\n"
    "  INI files of Windows programs, read as their authors mean them. Others\n"
    "  that look alike (systemd units, git config, Python or PHP settings,\n"
    "  my.cnf) do not where they rely on what this dialect does otherwise:\n"
    "  - ; or # anywhere outside double quotes starts a comment, inside a\n"
    "    value too: systemd's ExecStart=/bin/ls --color=#fff reads as\n"
    "    \"/bin/ls --color=\", and a URL loses its #fragment.\n"
    "  - A line longer than 511 bytes is read in pieces of 511 bytes, each\n"
    "    piece taken as a line of its own.\n"
    "  - Of keys or sections that occur twice the first wins; later ones are\n"
    "    never read or changed, so a repeated key makes no list.\n"
    "  - A UTF-8 byte-order mark at the start is skipped and kept; a UTF-16\n"
    "    file (FF FE or FE FF first) is refused with status 3: convert it\n"
    "    with iconv first.\n"
    "  - Lines written end in CR LF, whatever the rest of the file uses.\n"
    "  - No line goes on to the next, and a line without = or : (my.cnf's\n"
    "    skip-networking) holds no key.\n"
    "  To keep ; or # in a value, put the value between double quotes, with\n"
    "  \\\" for a quote inside; set does so itself:\n"
    "    brantcfg set app.ini links home 'https://example.org/#top'\n"
    "  writes home=\"https://example.org/#top\", which reads back whole. Other\n"
    "  programs that read the same file see the quotes as well.\n"
    "\n"
    "Examples:\n"
    "  brantcfg get app.ini window title\n"
    "  brantcfg get app.ini window width --type int --default 640\n"
    "  brantcfg set app.ini window title 'Main window' --verbose\n"
    "  brantcfg set app.ini window width 800 --existing\n"
    "  brantcfg set app.ini window left -- -20\n"
    "  brantcfg del app.ini window title\n"
    "  brantcfg sections app.ini\n"
    "  brantcfg keys app.ini window\n"
    "  brantcfg dump app.ini --format json\n"
    "  eval \"$(brantcfg dump app.ini --format env)\"\n"
    "  brantcfg merge app.ini defaults.ini\n"
    "  brantcfg set - window width 800 < app.ini > new.ini\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  get, keys or set --existing found nothing, or get --type found a\n"
    "     value of another type\n"
    "  2  usage error, or a section or key name the library refuses\n"
    "  3  a file, standard input or standard output could not be read or\n"
    "     written, or dump cannot show FILE in the format asked\n";

// Column where option texts begin, after two blanks and the name.
constexpr std::size_t OPTION_COLUMN = 20;
// Columns a line of help may take.
constexpr std::size_t LINE_WIDTH = 79;

// line and "\n", broken at blanks into lines of at most LINE_WIDTH
// columns; the lines after the first are indented to indent columns.
std::string wrapped(std::string line, std::size_t indent) {
    std::string out;
    while (line.size() > LINE_WIDTH) {
        const std::size_t cut = line.rfind(' ', LINE_WIDTH);
        if (cut == std::string::npos || cut <= indent) break;
        out += line.substr(0, cut) + "\n";
        line = std::string(indent, ' ') + line.substr(cut + 1);
    }
    return out + line + "\n";
}

void append_option(std::string &out, std::string_view name) {
    for (const option_text &option : OPTIONS) {
        if (option.name != name) continue;
        std::string_view text = option.text;
        std::string lead = "  " + std::string(name);
        lead.resize(OPTION_COLUMN, ' ');
        while (!text.empty()) {
            const std::size_t end = text.find('\n') + 1;
            out += lead;
            out += text.substr(0, end);
            text.remove_prefix(end);
            lead.assign(OPTION_COLUMN, ' ');
        }
    }
}

}  // namespace

std::string tool_help() {
    std::string out(TOOL_USAGE);
    out += "\nVerbs:\n";
    for (const verb_text &verb : VERBS) {
        out += "  " + std::string(verb.name) + " " + std::string(verb.synopsis) + "\n";
        out += "      " + std::string(verb.summary) + "\n";
    }
    out += "\nOptions:\n";
    for (const option_text &option : OPTIONS) append_option(out, option.name);
    out += TOOL_NOTES;
    return out;
}

std::string verb_help(std::string_view name) {
    for (const verb_text &verb : VERBS) {
        if (verb.name != name) continue;
        const std::string lead = "Usage: brantcfg " + std::string(verb.name) + " ";
        std::string out = wrapped(lead + std::string(verb.synopsis), lead.size()) + "\n";
        out += std::string(verb.summary) + "\n" + std::string(verb.details);
        out += "\nOptions:\n";
        for (const std::string_view option : verb.options)
            if (!option.empty()) append_option(out, option);
        append_option(out, "-h, --help");
        out += "\nThe INI dialect and the exit statuses: brantcfg --help.\n";
        return out;
    }
    return {};
}

}  // namespace brantcfg_tool
