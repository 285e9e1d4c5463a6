// Reading a program's command line with CLI11, the same way in the service and its client: help
// goes to standard output with status 0, a mistake to standard error with status 2.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <optional>

namespace command_line {

constexpr int kUsageError = 2;

// None when the command line is good; otherwise the exit status, having said why.
inline std::optional<int> parse(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
        return std::nullopt;
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& mistake) {
        static_cast<void>(std::fprintf(stderr, "%s: %s\nRun '%s --help' for how to use it.\n", app.get_name().c_str(),
                                       mistake.what(), app.get_name().c_str()));
        return kUsageError;
    }
}

}  // namespace command_line
