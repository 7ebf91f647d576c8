import java.io.File;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;

/**
 * A long run through the Java front end against the card simulator: detect, authenticate,
 * verify, sign, hash, the report and the application state over and over, with the card taken
 * out and put back now and then. Every `sample` operations it prints the resident memory and
 * the open file descriptors of this JVM.
 *
 * <p>java -cp CLASSES -Dqorx.library=libqorx.so -Dqorx.harness=qorx-harness SoakBench [N]
 */
public final class SoakBench {
  /** One sample: operations done so far, resident memory in KiB, open descriptors. */
  public record Sample(int operations, long residentKiB, int descriptors) {}

  /** What a run saw: the samples and the operations that failed outside a removal. */
  public record Result(List<Sample> samples, List<String> failures) {}

  static final String READER = "Virtual PCD 00 00";
  static final int REINSERT_EVERY = 250; // operations
  static final int REPORT_EVERY = 50; // the report reads dpkg's lists: not every round

  private SoakBench() {}

  public static Result run(int operations, int sample, String harness, PrintStream out) {
    VTKJAV01_KestrelX k = new VTKJAV01_KestrelX();
    List<Sample> samples = new ArrayList<>();
    List<String> failures = new ArrayList<>();
    int done = 0;
    int sinceReinsert = 0;
    k.NativeClose();
    check(k.NativeOpen(READER), "NativeOpen", failures, done);
    while (done < operations) {
      if (sinceReinsert >= REINSERT_EVERY && done % 8 == 0) {
        harness(harness, "sim-reinsert", "main");
        sinceReinsert = 0;
        // The first detection after the card came back finds it gone, then new.
        long end = System.nanoTime() + 5_000_000_000L;
        while ((k.CardDetect() != 0 || k.cardStatus != 1026) && System.nanoTime() < end) {
          sleep(20);
        }
      }
      String step;
      int status;
      switch (done % 8) {
        case 0 -> {
          step = "CardDetect";
          status = k.CardDetect();
          if (status == 0 && k.cardStatus > 1026) status = -k.cardStatus;
        }
        case 1 -> {
          step = "CardAuthenticate";
          status = k.CardAuthenticate("2026/12/08");
        }
        case 2 -> {
          step = "CardVerifySecretCode";
          status = k.CardVerifySecretCode("1234");
        }
        case 3 -> {
          step = "SignTransaction";
          status = k.SignTransaction("Pay " + done + ".00 to 12345-6", 0);
        }
        case 4 -> {
          step = "CalculateSHA1Hash";
          status = k.CalculateSHA1Hash("abc", 0);
        }
        case 5 -> {
          step = "GetApplicationState";
          status = k.GetApplicationState();
        }
        case 6 -> {
          step = "NativePerformPCSCDiagnosticTest";
          status = done % REPORT_EVERY == 6 ? k.NativePerformPCSCDiagnosticTest() : k.CardDetect();
        }
        default -> {
          step = "GetCertificate";
          status = k.GetCertificate();
        }
      }
      check(status, step, failures, done);
      done++;
      sinceReinsert++;
      if (done % sample == 0) {
        Sample s = new Sample(done, residentKiB(), descriptors());
        samples.add(s);
        out.printf("%6d operations  resident %7d KiB  descriptors %3d%n", s.operations(),
            s.residentKiB(), s.descriptors());
      }
    }
    k.NativeClose();
    return new Result(samples, failures);
  }

  private static void check(int status, String step, List<String> failures, int done) {
    if (status != 0) failures.add(done + " " + step + ": " + status);
  }

  static long residentKiB() {
    try {
      for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
        if (line.startsWith("VmRSS:")) return Long.parseLong(line.replaceAll("[^0-9]", ""));
      }
    } catch (IOException e) {
      throw new AssertionError(e);
    }
    return -1;
  }

  static int descriptors() {
    String[] entries = new File("/proc/self/fd").list();
    return entries == null ? -1 : entries.length;
  }

  static void harness(String script, String... args) {
    List<String> command = new ArrayList<>();
    command.add(script);
    command.addAll(List.of(args));
    try {
      Process p = new ProcessBuilder(command).redirectErrorStream(true).start();
      // Closed at once: left to the garbage collector, the pipes would count as descriptors.
      p.getOutputStream().close();
      String output;
      try (var in = p.getInputStream()) {
        output = new String(in.readAllBytes(), StandardCharsets.UTF_8);
      }
      if (p.waitFor() != 0) throw new AssertionError("qorx-harness " + args[0] + ": " + output);
    } catch (IOException e) {
      throw new AssertionError(e);
    } catch (InterruptedException e) {
      Thread.currentThread().interrupt();
      throw new AssertionError(e);
    }
  }

  private static void sleep(long millis) {
    try {
      Thread.sleep(millis);
    } catch (InterruptedException e) {
      Thread.currentThread().interrupt();
    }
  }

  public static void main(String[] args) {
    int operations = args.length > 0 ? Integer.parseInt(args[0]) : 10_000;
    long start = System.nanoTime();
    Result r = run(operations, 1000, System.getProperty("qorx.harness"), System.out);
    List<Sample> s = r.samples();
    System.out.printf("soak: %d operations in %.1f s, %d failed outside removals%n", operations,
        (System.nanoTime() - start) / 1e9, r.failures().size());
    for (String f : r.failures().subList(0, Math.min(10, r.failures().size()))) {
      System.out.println("  " + f);
    }
    if (s.size() >= 2) {
      Sample first = s.get(0);
      Sample last = s.get(s.size() - 1);
      System.out.printf("soak: after the first %d: resident %+d KiB, descriptors %+d%n",
          first.operations(), last.residentKiB() - first.residentKiB(),
          last.descriptors() - first.descriptors());
    }
  }
}
