package calvora.devicedriver.demo;

import java.io.PrintStream;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.function.Consumer;
import picocli.CommandLine;
import picocli.CommandLine.Help;
import picocli.CommandLine.ITypeConverter;
import picocli.CommandLine.Model.CommandSpec;
import picocli.CommandLine.Model.OptionSpec;
import picocli.CommandLine.Model.UsageMessageSpec;
import picocli.CommandLine.ParameterException;
import picocli.CommandLine.TypeConversionException;
import picocli.CommandLine.UnmatchedArgumentException;

/**
 * The Java tools' command lines (the viewer's and the demos'), read by picocli alike: --help and --version
 * print on standard output and exit 0; bad usage says why in a line starting with the program's name,
 * escaped with Printable, and exits 2. The help is laid out as the C++ tools' (tools/common/help.h): usage,
 * description, the options in groups within 100 columns, the exit statuses, then the examples.
 */
final class ToolCommandLine {
    /** What parse returns when the program goes on. */
    static final int GO_ON = -1;
    static final int EXIT_FAILURE = 1;
    static final int EXIT_BAD_USAGE = 2;
    /** A century: the longest run the clock can be trusted with. */
    static final double LONGEST_SECONDS = 100.0 * 365 * 24 * 3600;
    static final int HELP_WIDTH = 100;
    /** Where an option's sentence starts. */
    static final int OPTION_COLUMN = 30;
    static final String KEY_FORMS = "A KEY is decimal, 0x hex or 0 octal.";
    /** The group of --help and --version. */
    static final String GENERAL = "General";

    private ToolCommandLine() {
    }

    /**
     * Reads `args` into `options`, an object with picocli's {@code @Command} and {@code @Option}s whose
     * command name is the program's: GO_ON, or the status to exit with (0 after --help or --version,
     * EXIT_BAD_USAGE after a message on `err`). `check` throws ParameterException for what no option alone
     * tells. `groups` names the group that starts at each option (in declaration order), as
     * {option, heading, option, heading, ...}; --help and --version come last, under General. The
     * command's exitCodeList gives the exit statuses, and its footer the examples, as {what, command line,
     * ...}.
     */
    static int parse(Object options, String[] groups, String[] args, PrintStream out, PrintStream err,
            Consumer<CommandLine> check) {
        CommandLine line = new CommandLine(options);
        String name = line.getCommandName();
        String release = options.getClass().getPackage().getImplementationVersion();
        line.getCommandSpec().version(name + " " + (release == null ? "(version unknown)" : release));
        // The whole help is one section of picocli's usage message, ours.
        line.setHelpSectionKeys(List.of(UsageMessageSpec.SECTION_KEY_SYNOPSIS));
        line.getHelpSectionMap().put(UsageMessageSpec.SECTION_KEY_SYNOPSIS, help -> help(help, groups));
        try {
            line.parseArgs(args);
            if (line.isUsageHelpRequested()) {
                out.print(line.getUsageMessage());
                out.flush();
                return 0;
            }
            if (line.isVersionHelpRequested()) {
                line.printVersionHelp(out);
                return 0;
            }
            check.accept(line);
            return GO_ON;
        } catch (ParameterException e) {
            err.println(name + ": " + Printable.of(problem(e)));  // it quotes the arguments
            return EXIT_BAD_USAGE;
        }
    }

    /** The same without groups: every option under Options, then General. */
    static int parse(Object options, String[] args, PrintStream out, PrintStream err, Consumer<CommandLine> check) {
        return parse(options, new String[0], args, out, err, check);
    }

    /** What is wrong with the command line in one sentence, as the C++ tools say it. */
    private static String problem(ParameterException e) {
        if (e instanceof UnmatchedArgumentException) {
            List<String> unmatched = ((UnmatchedArgumentException) e).getUnmatched();
            if (!unmatched.isEmpty()) {
                String first = unmatched.get(0);
                return first.length() > 1 && first.startsWith("-") ? "unknown option " + first
                        : "unexpected argument '" + first + "'";
            }
        }
        String text = e.getMessage();
        if (text.length() > 1 && Character.isUpperCase(text.charAt(0)) && Character.isLowerCase(text.charAt(1))) {
            text = Character.toLowerCase(text.charAt(0)) + text.substring(1);
        }
        return text;
    }

    /** The whole help, as the C++ tools' ToolHelp lays it out. */
    private static String help(Help help, String[] groups) {
        CommandSpec spec = help.commandSpec();
        StringBuilder out = new StringBuilder("Usage: " + spec.name() + " [OPTIONS]\n\n");
        out.append(wrap(String.join("\n", spec.usageMessage().description()), 0, true));
        List<OptionSpec> general = new ArrayList<>();
        boolean keys = false;
        String heading = "Options";
        boolean headed = false;
        for (OptionSpec option : spec.options()) {
            if (option.usageHelp() || option.versionHelp()) {
                general.add(option);
                continue;
            }
            for (int i = 0; i + 1 < groups.length; i += 2) {
                if (option.longestName().equals(groups[i])) {
                    heading = groups[i + 1];
                    headed = false;
                }
            }
            if (!headed) {
                out.append('\n').append(heading).append(":\n");
                headed = true;
            }
            keys |= "KEY".equals(option.paramLabel()) && option.arity().max() > 0;
            out.append(optionLine(option));
        }
        out.append('\n').append(GENERAL).append(":\n");
        general.forEach(option -> out.append(optionLine(option)));
        if (keys) {
            out.append('\n').append(KEY_FORMS).append('\n');
        }
        Map<String, String> statuses = spec.usageMessage().exitCodeList();
        if (!statuses.isEmpty()) {
            out.append("\nExit status:\n");
            statuses.forEach((status, when) -> out.append(pad("  " + status.trim(), 5)).append(wrap(when, 5, false)));
        }
        String[] examples = spec.usageMessage().footer();
        if (examples.length > 0) {
            out.append("\nExamples:\n");
            for (int i = 0; i + 1 < examples.length; i += 2) {
                out.append(wrap(examples[i], 2, true)).append("    ").append(examples[i + 1]).append('\n');
            }
        }
        return out.toString();
    }

    private static String optionLine(OptionSpec option) {
        String left = "  " + String.join(", ", option.names())
                + (option.arity().max() > 0 ? " " + option.paramLabel() : "");
        String sentence = String.join(" ", option.description());
        if (left.length() + 1 > OPTION_COLUMN) {
            return left + "\n" + wrap(sentence, OPTION_COLUMN, true);
        }
        return pad(left, OPTION_COLUMN) + wrap(sentence, OPTION_COLUMN, false);
    }

    private static String pad(String text, int width) {
        StringBuilder padded = new StringBuilder(text);
        while (padded.length() < width) {
            padded.append(' ');
        }
        return padded.toString();
    }

    /**
     * `text` in lines of at most HELP_WIDTH columns after `indent`, its paragraphs (split at empty lines)
     * reflowed; the first line indented only when `indentFirst`.
     */
    static String wrap(String text, int indent, boolean indentFirst) {
        StringBuilder out = new StringBuilder();
        String margin = pad("", indent);
        boolean first = true;
        for (String paragraph : text.split("\n", -1)) {
            StringBuilder lineText = new StringBuilder();
            for (String word : paragraph.trim().split("\\s+")) {
                if (lineText.length() > 0 && indent + lineText.length() + 1 + word.length() > HELP_WIDTH) {
                    out.append(first && !indentFirst ? "" : margin).append(lineText).append('\n');
                    first = false;
                    lineText.setLength(0);
                }
                lineText.append(lineText.length() > 0 ? " " : "").append(word);
            }
            out.append(first && !indentFirst || lineText.length() == 0 ? "" : margin).append(lineText).append('\n');
            first = false;
        }
        return out.toString();
    }

    /** The text given for `option` on the command line, as typed. */
    static String given(CommandLine line, String option) {
        return line.getParseResult().matchedOption(option).stringValues().get(0);
    }

    /** A System V key as the other tools take it: decimal, 0x hex or 0 octal, any 32 bits but IPC_PRIVATE (0). */
    static final class KeyConverter implements ITypeConverter<Integer> {
        @Override
        public Integer convert(String text) {
            long value;
            try {
                value = Long.decode(text);
            } catch (NumberFormatException e) {
                throw new TypeConversionException("'" + text + "' is not a 32-bit System V key");
            }
            if (value < Integer.MIN_VALUE || value > 0xffffffffL) {
                throw new TypeConversionException("'" + text + "' is not a 32-bit System V key");
            }
            if (value == 0) {
                throw new TypeConversionException("key 0 is IPC_PRIVATE, which no reader can look up");
            }
            return (int) value;
        }
    }
}
