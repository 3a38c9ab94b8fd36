// How every C++ tool's --help reads: the usage, the description, the options in their groups (option, value
// name, a sentence, the default where there is one), the exit statuses and then the examples, all within
// HELP_WIDTH columns. trackd-viewer's help (ToolCommandLine.java) is laid out the same way.
#pragma once

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstddef>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace trackd_tools {

constexpr std::size_t HELP_WIDTH = 100;
constexpr std::size_t HELP_OPTION_COLUMN = 30;  // where an option's sentence starts
constexpr const char* HELP_GROUP = "General";   // the group of --help and --version, shown last
constexpr const char* KEY_VALUE = "KEY";        // the value name of every System V key option
constexpr const char* KEY_FORMS = "A KEY is decimal, 0x hex or 0 octal.";

// What a tool's help ends with: notes that no one option holds (each a title and its text), the exit
// statuses, then examples, each a sentence and its command line.
struct HelpEnd {
    std::vector<std::pair<std::string, std::string>> notes;         // title, text
    std::vector<std::pair<std::string, std::string>> exitStatuses;  // status, when
    std::vector<std::pair<std::string, std::string>> examples;      // what it does, command line
};

// `text` in lines of at most `width` columns after `indent`: its lines are joined into paragraphs and
// reflowed, but a line that starts with two spaces (a table, a list) is kept as it is, under the indent.
inline std::string wrapText(std::string_view text, std::size_t indent, std::size_t width, bool indentFirst = true) {
    std::vector<std::pair<bool, std::string>> blocks;  // kept as is, text
    for (std::size_t from = 0; from <= text.size();) {
        const std::size_t end = std::min(text.find('\n', from), text.size());
        const std::string_view line = text.substr(from, end - from);
        const bool kept = line.substr(0, 2) == "  ";
        if (kept || blocks.empty() || blocks.back().first || line.empty())
            blocks.emplace_back(kept, std::string(line));
        else
            blocks.back().second += " " + std::string(line);
        from = end + 1;
    }
    const std::string margin(indent, ' ');
    std::string out;
    bool first = true;
    const auto startLine = [&] {
        if (!first || indentFirst) out += margin;
        first = false;
    };
    for (const auto& [kept, block] : blocks) {
        if (kept || block.empty()) {
            startLine();
            out += block + '\n';
            continue;
        }
        std::istringstream words(block);
        std::string word, line;
        while (words >> word) {
            if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
                startLine();
                out += line + '\n';
                line.clear();
            }
            line += (line.empty() ? "" : " ") + word;
        }
        startLine();
        out += line + '\n';
    }
    return out;
}

// CLI11's formatter, laid out for the tools.
class ToolHelp : public CLI::Formatter {
public:
    explicit ToolHelp(HelpEnd end) : end_(std::move(end)) {
        column_width(HELP_OPTION_COLUMN);
        label("Positionals", "Arguments");
    }

    // The value name an option is given, or the one CLI11 gives its type, in words.
    static std::string valueName(const CLI::Option* option) {
        const std::string type = option->get_type_name();
        std::string name = type.substr(0, type.find(':'));  // then each validator's words
        if (name == "UINT" || name == "INT") return "N";
        if (name == "FLOAT") return "NUMBER";
        return name;
    }

    std::string make_option_name(const CLI::Option* option, bool positional) const override {
        if (positional) return option->get_name(true, false);
        std::string names = option->get_name(false, true);
        for (std::size_t comma = names.find(','); comma != std::string::npos; comma = names.find(',', comma + 2))
            names.replace(comma, 1, ", ");
        return names;
    }

    std::string make_option_opts(const CLI::Option* option) const override {
        if (option->get_positional() || option->get_type_size() == 0) return {};
        return " " + valueName(option) +
               (option->get_expected_max() == CLI::detail::expected_max_vector_size ? " ..." : "");
    }

    std::string make_option_desc(const CLI::Option* option) const override {
        std::string text = option->get_description();
        const std::string value = option->get_default_str();
        if (value.empty() || option->get_type_size() == 0 || text.find("(default") != std::string::npos) return text;
        if (!text.empty() && text.back() == ')') return text.insert(text.size() - 1, "; default " + value);
        text += " (default " + value + ")";
        return text;
    }

    std::string make_option(const CLI::Option* option, bool positional) const override {
        std::string left = "  " + make_option_name(option, positional) + make_option_opts(option);
        const std::string desc = make_option_desc(option);
        if (left.size() + 1 > HELP_OPTION_COLUMN) {
            left += '\n';
            return left + wrapText(desc, HELP_OPTION_COLUMN, HELP_WIDTH);
        }
        left.resize(HELP_OPTION_COLUMN, ' ');
        return left + wrapText(desc, HELP_OPTION_COLUMN, HELP_WIDTH, false);
    }

    std::string make_group(std::string group, bool positional, std::vector<const CLI::Option*> opts) const override {
        std::string out = "\n" + group + ":\n";
        for (const CLI::Option* option : opts) out += make_option(option, positional);
        return out;
    }

    std::string make_description(const CLI::App* app) const override {
        return app->get_description().empty() ? std::string() : "\n" + wrapText(app->get_description(), 0, HELP_WIDTH);
    }

    std::string make_subcommand(const CLI::App* sub) const override {
        std::string left = "  " + sub->get_name();
        left.resize(std::max(left.size() + 1, HELP_OPTION_COLUMN), ' ');
        return left + wrapText(sub->get_description(), HELP_OPTION_COLUMN, HELP_WIDTH, false);
    }

    // A subcommand in the parent's --help-all: its name and options, in their groups, without its end.
    std::string make_expanded(const CLI::App* sub) const override {
        std::string out = "\n" + sub->get_name() + ":\n" + wrapText(sub->get_description(), 2, HELP_WIDTH);
        const auto positionals = sub->get_options([](const CLI::Option* o) { return o->get_positional(); });
        if (!positionals.empty()) out += "\n" + get_label("Positionals") + " (" + sub->get_name() + "):\n";
        for (const CLI::Option* option : positionals) out += make_option(option, true);
        for (const std::string& group : orderedGroups(sub)) {
            std::string lines;
            for (const CLI::Option* option : groupOptions(sub, group, true)) lines += make_option(option, false);
            if (!lines.empty())
                out.append("\n").append(group).append(" (").append(sub->get_name()).append("):\n").append(lines);
        }
        return out;
    }

    std::string make_footer(const CLI::App* /*app*/) const override {
        std::string out;
        for (const auto& [title, text] : end_.notes) out += "\n" + title + ":\n" + wrapText(text, 2, HELP_WIDTH);
        if (!end_.exitStatuses.empty()) out += "\nExit status:\n";
        for (const auto& [status, when] : end_.exitStatuses) {
            std::string left = "  " + status;
            left.resize(std::max(left.size() + 2, std::size_t{5}), ' ');
            out += left + wrapText(when, 5, HELP_WIDTH, false);
        }
        if (!end_.examples.empty()) out += "\nExamples:\n";
        for (const auto& [what, line] : end_.examples) out += wrapText(what, 2, HELP_WIDTH) + "    " + line + '\n';
        return out;
    }

    // --help, or with --help-all every subcommand's options too under one heading Options (from which
    // help2man makes a manual page's OPTIONS), without the end.
    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
        if (mode == CLI::AppFormatMode::Sub) return make_expanded(app);
        const bool all = mode == CLI::AppFormatMode::All;
        std::string out = make_usage(app, std::move(name)) + make_description(app) + make_positionals(app);
        if (all) out += "\nOptions:\n";
        bool keys = false;
        const auto noteKeys = [&keys](const std::vector<const CLI::Option*>& options) {
            for (const CLI::Option* option : options) keys = keys || valueName(option) == KEY_VALUE;
        };
        for (const std::string& group : orderedGroups(app)) {
            const auto options = groupOptions(app, group, false);
            noteKeys(options);
            if (!options.empty()) out += make_group(group, false, options);
        }
        const auto subs = app->get_subcommands({});
        if (all) {
            for (const CLI::App* sub : subs) {
                noteKeys(sub->get_options());
                out += make_expanded(sub);
            }
        } else {
            out += make_subcommands(app, mode);
        }
        if (keys) out += std::string("\n") + KEY_FORMS + "\n";
        if (!all) out += make_footer(app);
        return out;
    }

private:
    // The groups in the order their first options were added, the one of --help last.
    static std::vector<std::string> orderedGroups(const CLI::App* app) {
        std::vector<std::string> groups = app->get_groups();
        const CLI::Option* help = app->get_help_ptr();
        if (help != nullptr) {
            const auto found = std::find(groups.begin(), groups.end(), help->get_group());
            if (found != groups.end()) std::rotate(found, found + 1, groups.end());
        }
        return groups;
    }

    static std::vector<const CLI::Option*> groupOptions(const CLI::App* app, const std::string& group, bool ownOnly) {
        if (group.empty()) return {};
        return app->get_options([&](const CLI::Option* option) {
            return option->get_group() == group && option->nonpositional() &&
                   (!ownOnly || (option != app->get_help_ptr() && option != app->get_help_all_ptr()));
        });
    }

    HelpEnd end_;
};

// Gives `app` the tools' help under the tool's (or subcommand's) name, with --help in the group General.
inline void useToolHelp(CLI::App& app, const std::string& name, HelpEnd end) {
    app.name(name);
    app.formatter(std::make_shared<ToolHelp>(std::move(end)));
    app.set_help_flag("-h,--help", "print this help and exit")->group(HELP_GROUP);
}

// Gives each subcommand of `app` the same layout with its own end (`endOf(name)`), and `app` a --help-all
// that shows every subcommand's options too (as the manual pages are made from).
template <class EndOf>
void useSubcommandHelp(CLI::App& app, EndOf endOf) {
    for (CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
        const std::string name = command->get_name();
        useToolHelp(*command, name, endOf(name));
    }
    app.get_help_ptr()->description("print this help and exit (each subcommand's --help shows its options)");
    app.set_help_all_flag("--help-all", "print the options of every subcommand too, and exit")->group(HELP_GROUP);
}

}  // namespace trackd_tools
