// SPDX-License-Identifier: GPL-3.0-or-later
// The program's arguments, whatever a launcher or a user may pass. The input is
// the argument list with NUL bytes between the arguments, argv[0] first.

#include "command_line.h"
#include "fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using svw::CommandLine;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> arguments(1);
    for (std::size_t k = 0; k < size; ++k) {
        if (data[k] == 0)
            arguments.emplace_back();
        else
            arguments.back().push_back(char(data[k]));
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int argc = int(arguments.size());

    CommandLine commandLine(argc, argv.data());

    // What Qt gets is argv[0] and a subsequence of the rest, none of it ours,
    // and ends as argv does.
    const int qtArgc = commandLine.qtArgc();
    char** qtArgv = commandLine.qtArgv();
    check(qtArgc >= 1 && qtArgc <= argc && qtArgv[0] == argv[0] && qtArgv[qtArgc] == nullptr);
    int next = 1;
    for (int k = 1; k < qtArgc; ++k) {
        while (next < argc && argv[next] != qtArgv[k])
            ++next;
        check(next < argc);
        ++next;
    }
    // A refusal names an argument that was given, and only a run is refused.
    const bool refused = commandLine.action() == CommandLine::Action::Refuse;
    check(refused ==
          (commandLine.action() != CommandLine::Action::Help &&
           commandLine.action() != CommandLine::Action::Version && !commandLine.refused().empty()));
    bool given = commandLine.refused().empty();
    for (int k = 1; k < argc && !given; ++k)
        given = commandLine.refused() == argv[k];
    check(given);
    return 0;
}
