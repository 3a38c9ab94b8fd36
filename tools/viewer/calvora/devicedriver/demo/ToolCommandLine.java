package calvora.devicedriver.demo;

import java.io.PrintStream;
import java.util.function.Consumer;
import picocli.CommandLine;
import picocli.CommandLine.ITypeConverter;
import picocli.CommandLine.ParameterException;
import picocli.CommandLine.TypeConversionException;

/**
 * The Java tools' command lines (the viewer's and the demos'), read by picocli alike: --help and --version
 * print on standard output and exit 0; bad usage says why in a line starting with the program's name,
 * escaped with Printable, and exits 2.
 */
final class ToolCommandLine {
    /** What parse returns when the program goes on. */
    static final int GO_ON = -1;
    static final int EXIT_FAILURE = 1;
    static final int EXIT_BAD_USAGE = 2;
    /** A century: the longest run the clock can be trusted with. */
    static final double LONGEST_SECONDS = 100.0 * 365 * 24 * 3600;

    private ToolCommandLine() {
    }

    /**
     * Reads `args` into `options`, an object with picocli's {@code @Command} and {@code @Option}s whose
     * command name is the program's: GO_ON, or the status to exit with (0 after --help or --version,
     * EXIT_BAD_USAGE after a message on `err`). `check` throws ParameterException for what no option alone
     * tells.
     */
    static int parse(Object options, String[] args, PrintStream out, PrintStream err, Consumer<CommandLine> check) {
        CommandLine line = new CommandLine(options);
        String name = line.getCommandName();
        String release = options.getClass().getPackage().getImplementationVersion();
        line.getCommandSpec().version(name + " " + (release == null ? "(version unknown)" : release));
        try {
            line.parseArgs(args);
            if (line.isUsageHelpRequested()) {
                line.usage(out);
                return 0;
            }
            if (line.isVersionHelpRequested()) {
                line.printVersionHelp(out);
                return 0;
            }
            check.accept(line);
            return GO_ON;
        } catch (ParameterException e) {
            err.println(name + ": " + Printable.of(e.getMessage()));  // it quotes the arguments
            err.println("Run with --help for more information.");
            return EXIT_BAD_USAGE;
        }
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
