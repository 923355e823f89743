#ifndef TQBLK_TOOLS_CLI_H
#define TQBLK_TOOLS_CLI_H

// The command-line conventions both tools share, on top of CLI11: --help on stdout with exit
// status 0, --version, numbers parsed strictly (Numbers.h), an unknown command or option
// named with the nearest valid one, and exit status 2 for every mistake of usage.

#include "Numbers.h"

#include <CLI/CLI.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#ifndef TQBLK_TOOLS_VERSION
#error "the tools' CMake passes the project version as TQBLK_TOOLS_VERSION"
#endif

namespace tqtools {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The label of an option in messages: its long name, else its positional name.
inline std::string labelOf(const std::string& names) {
    std::string label;
    size_t start = 0;
    while (start <= names.size()) {
        size_t comma = names.find(',', start);
        std::string name =
            names.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (label.empty() || name.rfind("--", 0) == 0)
            label = name;
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return label;
}

// For an option or positional that names something (a path, a URL, a UUID): an empty value
// names nothing, and would otherwise pass for the option not given.
inline CLI::Validator nonEmpty() {
    return CLI::Validator(
        [](std::string& text) { return text.empty() ? std::string("is empty") : std::string(); },
        "", "NONEMPTY");
}

// An option or positional whose text check stores as its value; check returns the message
// naming a mistake, or nothing.
template <class Check>
CLI::Option* addChecked(CLI::App* app, const std::string& names, const std::string& typeName,
                        const std::string& description, Check check) {
    return app
        ->add_option_function<std::string>(
            names,
            [check](const std::string& text) {
                std::string error = check(text);
                if (!error.empty())
                    throw CLI::ValidationError(error);
            },
            description)
        ->type_name(typeName);
}

// An option or positional holding a size in bytes (see parseSize).
inline CLI::Option* addSize(CLI::App* app, const std::string& names, long long* out, long long min,
                            long long max, const std::string& description) {
    const std::string label = labelOf(names);
    return addChecked(app, names, "SIZE", description, [=](const std::string& text) {
        return parseSize(label, text, min, max, out);
    });
}

// An option or positional holding a whole number within [min, max].
template <class Int>
CLI::Option* addInteger(CLI::App* app, const std::string& names, Int* out, long long min,
                        long long max, const std::string& description) {
    const std::string label = labelOf(names);
    return addChecked(app, names, "N", description, [=](const std::string& text) {
        long long value = 0;
        std::string error = parseInteger(label, text, min, max, &value);
        if (error.empty())
            *out = static_cast<Int>(value);
        return error;
    });
}

// Edit distance, for "did you mean".
inline size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// " (did you mean X?)" for the nearest candidate, or nothing when none is near.
inline std::string nearest(const std::string& word, const std::vector<std::string>& candidates) {
    std::string best;
    size_t bestDistance = std::string::npos;
    for (const std::string& candidate : candidates) {
        size_t d = editDistance(word, candidate);
        if (candidate.rfind(word, 0) == 0 && word.size() >= 3)
            d = std::min<size_t>(d, 1);
        if (d < bestDistance) {
            bestDistance = d;
            best = candidate;
        }
    }
    if (best.empty() || bestDistance > std::max<size_t>(2, word.size() / 3))
        return "";
    return " (did you mean " + best + "?)";
}

inline std::vector<std::string> longNames(const CLI::App* app) {
    std::vector<std::string> names;
    for (const CLI::Option* option : app->get_options()) {
        for (const std::string& name : option->get_lnames())
            names.push_back("--" + name);
    }
    // Option groups are subcommands to CLI11; their options are the app's own.
    for (const CLI::App* sub : app->get_subcommands([](const CLI::App*) { return true; })) {
        if (dynamic_cast<const CLI::Option_group*>(sub) != nullptr)
            for (const std::string& name : longNames(sub))
                names.push_back(name);
    }
    return names;
}

inline std::vector<std::string> commandNames(const CLI::App* app) {
    std::vector<std::string> names;
    for (const CLI::App* sub : app->get_subcommands([](const CLI::App*) { return true; }))
        if (dynamic_cast<const CLI::Option_group*>(sub) == nullptr)
            names.push_back(sub->get_name());
    return names;
}

// One of a fixed set of words, mapped to a value; the error lists the valid ones.
template <class Value>
CLI::Option* addChoice(CLI::App* app, const std::string& names, Value* out,
                       const std::vector<std::pair<std::string, Value> >& choices,
                       const std::string& description) {
    const std::string label = labelOf(names);
    std::string valid;
    for (const auto& choice : choices)
        valid += (valid.empty() ? "" : ", ") + choice.first;
    return addChecked(app, names, "WORD", description, [=](const std::string& text) {
        for (const auto& choice : choices) {
            if (choice.first == text) {
                *out = choice.second;
                return std::string();
            }
        }
        return label + ": \"" + text + "\" is not one of " + valid;
    });
}

// Names the first word of args that is no command or option of app, with the nearest valid
// one; empty when every word is known (the parser's own message is clearer then).
inline std::string unknownWord(CLI::App* app, const std::vector<std::string>& args) {
    CLI::App* command = nullptr;
    bool positionalsOnly = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--") {
            positionalsOnly = true;
            continue;
        }
        if (!positionalsOnly && word.size() > 1 && word[0] == '-') {
            std::string name = word.substr(0, word.find('='));
            if (name.rfind("--", 0) != 0 && name.size() > 2)
                name = name.substr(0, 2);  // -vv and -j4 style short options
            const CLI::Option* option = command ? command->get_option_no_throw(name) : nullptr;
            if (!option)
                option = app->get_option_no_throw(name);
            if (!option) {
                std::vector<std::string> names = longNames(command ? command : app);
                if (command)
                    for (const std::string& global : longNames(app))
                        names.push_back(global);
                return "unknown option " + name +
                       (command ? " for " + command->get_name() : std::string()) +
                       nearest(name, names);
            }
            if (option->get_expected_min() > 0 && word.find('=') == std::string::npos)
                ++i;  // its value
            continue;
        }
        if (!command && !commandNames(app).empty()) {
            CLI::App* sub = nullptr;
            try {
                sub = app->get_subcommand(word);
            } catch (const CLI::OptionNotFound&) {
            }
            if (!sub)
                return "unknown command " + CLI::detail::to_string(word) +
                       nearest(word, commandNames(app));
            command = sub;
        }
    }
    return "";
}

// Parses the command line. Returns -1 when the program is to go on, else the exit status:
// 0 after --help or --version (printed on stdout), 2 after a mistake, with one line naming
// it on stderr and a pointer to --help.
inline int parseCommandLine(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
        return -1;
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string text = unknownWord(&app, std::vector<std::string>(argv + 1, argv + argc));
        if (text.empty())
            text = e.what();
        std::fprintf(stderr, "%s: %s\nRun '%s --help' for usage.\n", app.get_name().c_str(),
                     text.c_str(), app.get_name().c_str());
        return kExitUsage;
    }
}

// Runs a tool with subcommands: parses its command line, then runs what the subcommand set.
// What the tool makes is never writable by group or others, whatever umask it was started
// with: whoever may write an extent may rewrite what a device serves.
inline int runSubcommand(CLI::App& app, int argc, char** argv, const std::function<int()>& run) {
    ::umask(::umask(0) | 022);
    int early = parseCommandLine(app, argc, argv);
    return early >= 0 ? early : run();
}

// Adds a subcommand whose help ends with footer (the exit statuses).
inline CLI::App* addSubcommand(CLI::App& app, const std::string& name,
                               const std::string& description, const std::string& footer) {
    CLI::App* sub = app.add_subcommand(name, description);
    sub->footer(footer);
    return sub;
}

}  // namespace tqtools

#endif
