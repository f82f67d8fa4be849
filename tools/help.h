// The help texts of the command-line tool: one for the whole tool and one
// for each verb, built from the same descriptions. The manual page
// brantcfg.1 is made from these texts (tools/make_manpage.py).
#ifndef BRANTCFG_TOOL_HELP_H
#define BRANTCFG_TOOL_HELP_H

#include <string>
#include <string_view>

namespace brantcfg_tool {

// What "brantcfg --help" prints.
[[nodiscard]] std::string tool_help();

// What "brantcfg VERB --help" prints; empty for a word that is no verb.
[[nodiscard]] std::string verb_help(std::string_view verb);

}  // namespace brantcfg_tool

#endif
