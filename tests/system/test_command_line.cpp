#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "system/command_line.h"

namespace pluck {
namespace {

constexpr CommandLineOption options[] = {
    {0, "output", 'o', true},  {1, "length", 0, true},     {2, "help", 'h', false},
    {3, "help-all", 0, false}, {4, "verbose", 'v', false}, {5, "version", 0, false},
};

// What was read, as "name=value" for an option that takes a value, "name"
// for one that does not, "[text]" for an operand, and "!error" at the end.
std::string read_as_text(const std::vector<const char*>& args, bool loose) {
    std::vector<const char*> argv{"program"};
    argv.insert(argv.end(), args.begin(), args.end());
    const CommandLineRead read =
        read_command_line(static_cast<int>(argv.size()), argv.data(), {options, loose, loose});
    std::string text;
    for (const CommandLineItem& item : read.items) {
        const bool operand = item.option == nullptr, valued = operand || item.option->takes_value;
        text.append(operand ? "[" : item.option->long_name)
            .append(valued && !operand ? "=" : "")
            .append(valued ? item.text : "")
            .append(operand ? "] " : " ");
    }
    return read.error.empty() ? text : text.append("!").append(read.error);
}

// Each command line read strictly (pluck: whole names, one short option per
// argument) and loosely (pluck-render: names shortened to any beginning no
// other name shares, short options grouped); "" where the two agree.
TEST(CommandLine, FormsOperandsAndErrorsInTheOrderWritten) {
    const struct {
        std::vector<const char*> args;
        std::string strict, loose;
    } cases[] = {
        {{"--output", "a", "--length=5"}, "output=a length=5 ", ""},
        {{"-o", "a", "-ob", "-o=c"}, "output=a output=b output==c ", ""},
        {{"--output=d=e", "--output="}, "output=d=e output= ", ""},
        {{"--output", "--help", "-o", "-h"}, "output=--help output=-h ", ""},
        {{"a", "-h", "-", "", "b"}, "[a] help [-] [] [b] ", ""},
        {{"--", "-h", "--", "--x"}, "[-h] [--] [--x] ", ""},
        {{"-hv"}, "!option -h takes no value", "help verbose "},
        {{"-hoa", "-vo", "b"}, "!option -h takes no value", "help output=a verbose output=b "},
        {{"-hx"}, "!option -h takes no value", "help !unknown option -x"},
        {{"-xh"}, "!unknown option -x", ""},
        {{"-ho"}, "!option -h takes no value", "help !option -o needs a value"},
        {{"--out", "a", "--verb", "--help-"}, "!unknown option --out", "output=a verbose help-all "},
        {{"--help", "--help-all", "--version"}, "help help-all version ", ""},  // a whole name is that option
        {{"--ver"}, "!unknown option --ver", ""},                               // verbose or version
        {{"--verb=1"}, "!unknown option --verb", "!option --verb takes no value"},
        {{"--=1"}, "!unknown option --", ""},
        {{"--help=1"}, "!option --help takes no value", ""},
        {{"-o"}, "!option -o needs a value", ""},
        {{"-h", "--bogus", "-v"}, "help !unknown option --bogus", ""},  // reading stops at the first error
        {{"--length", "5", "--length"}, "length=5 !option --length needs a value", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(read_as_text(c.args, false), c.strict) << c.strict;
        EXPECT_EQ(read_as_text(c.args, true), c.loose.empty() ? c.strict : c.loose) << c.strict;
    }
}

}  // namespace
}  // namespace pluck
