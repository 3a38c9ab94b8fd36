package calvora.devicedriver.test;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;

/** Runs a main class in a child virtual machine with JNI checking on, capturing both of its streams. */
final class ChildJvm {
    record Result(int exitCode, String out, String err) {
    }

    private ChildJvm() {
    }

    static Result run(String classpath, String mainClass, String... args) throws IOException, InterruptedException {
        return run(List.of("-Djava.library.path=" + System.getProperty("java.library.path")), classpath, mainClass,
                args);
    }

    static Result run(List<String> options, String classpath, String mainClass, String... args)
            throws IOException, InterruptedException {
        List<String> command = new ArrayList<>();
        command.add(ProcessHandle.current().info().command().orElse("java"));
        command.add("-Xcheck:jni");
        command.addAll(options);
        command.add("-cp");
        command.add(classpath);
        command.add(mainClass);
        command.addAll(List.of(args));
        Process process = new ProcessBuilder(command).start();
        process.getOutputStream().close();
        CompletableFuture<String> out = CompletableFuture.supplyAsync(() -> read(process.getInputStream()));
        CompletableFuture<String> err = CompletableFuture.supplyAsync(() -> read(process.getErrorStream()));
        if (!process.waitFor(60, TimeUnit.SECONDS)) {
            process.destroyForcibly();
            throw new IllegalStateException(mainClass + " did not finish within 60 s");
        }
        Result result = new Result(process.exitValue(), out.join(), err.join());
        if (result.out.contains("WARNING") || result.err.contains("WARNING")) {
            throw new AssertionError("JNI check warned:\n" + result.out + result.err);
        }
        return result;
    }

    private static String read(java.io.InputStream stream) {
        try {
            return new String(stream.readAllBytes(), StandardCharsets.UTF_8);
        } catch (IOException e) {
            throw new java.io.UncheckedIOException(e);
        }
    }
}
