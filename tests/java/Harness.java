import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;

/** Drives the test harness script (pcscd and the card simulator "main"). */
final class Harness {
  private Harness() {}

  static String run(String... args) {
    String script = System.getProperty("qorx.harness");
    List<String> command = new ArrayList<>();
    command.add(script);
    command.addAll(List.of(args));
    try {
      Process process = new ProcessBuilder(command).redirectErrorStream(true).start();
      String output = new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
      assertEquals(0, process.waitFor(), "qorx-harness " + String.join(" ", args) + ":\n" + output);
      return output;
    } catch (IOException e) {
      throw new AssertionError("cannot run " + script, e);
    } catch (InterruptedException e) {
      Thread.currentThread().interrupt();
      throw new AssertionError(e);
    }
  }

  /** Takes the card out, restores its start options, applies `commands`, puts it back. */
  static void reinsert(String... commands) {
    List<String> args = new ArrayList<>(List.of("sim-reinsert", "main"));
    args.addAll(List.of(commands));
    run(args.toArray(new String[0]));
  }

  /** Takes the card out and returns once the simulator has left the reader. */
  static void remove() {
    run("sim", "main", "remove");
    long end = System.nanoTime() + 10_000_000_000L;
    while (!run("sim", "main", "status").contains("connected=0 removing=0")) {
      if (System.nanoTime() > end) {
        throw new AssertionError("the card did not leave: " + run("sim", "main", "status"));
      }
      sleep(50);
    }
  }

  /**
   * Calls `action` until it returns true, for up to 5 s: pcscd looks at the virtual reader only
   * every 400 ms, so a removal reaches PC/SC clients some time after the card left.
   */
  static boolean waitFor(java.util.function.BooleanSupplier action) {
    long end = System.nanoTime() + 5_000_000_000L;
    while (!action.getAsBoolean()) {
      if (System.nanoTime() > end) return false;
      sleep(20);
    }
    return true;
  }

  private static void sleep(long millis) {
    try {
      Thread.sleep(millis);
    } catch (InterruptedException e) {
      Thread.currentThread().interrupt();
      throw new AssertionError(e);
    }
  }
}
