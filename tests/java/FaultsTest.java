import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

/**
 * The Java front end through faults: pcscd restarted under an open reader, and a short soak of
 * mixed operations with removals (SoakBench, whose long form is a benchmark).
 */
class FaultsTest {
  static final String READER = "Virtual PCD 00 00";

  VTKJAV01_KestrelX k;

  @BeforeEach
  void freshCard() {
    k = new VTKJAV01_KestrelX();
    k.NativeClose();
    Harness.reinsert();
  }

  @AfterEach
  void close() {
    k.NativeClose();
  }

  /** Whether the running pcscd is the harness's own, which it may restart. */
  static boolean pcscdIsOurs() {
    try {
      Process p = new ProcessBuilder(System.getProperty("qorx.harness"), "pcscd-ours")
          .redirectErrorStream(true).start();
      p.getInputStream().readAllBytes();
      return p.waitFor() == 0;
    } catch (IOException e) {
      return false;
    } catch (InterruptedException e) {
      Thread.currentThread().interrupt();
      return false;
    }
  }

  @Test
  @Timeout(120)
  void cardDetectAnswersReadyAfterPcscdRestart() {
    assumeTrue(pcscdIsOurs(), "pcscd was not started by the harness");
    assertEquals(0, k.NativeOpen(READER));
    assertTrue(Harness.waitFor(() -> k.CardDetect() == 0 && k.cardStatus == 1026));
    assertEquals(0, k.CardAuthenticate("2026/12/08"));
    Harness.run("pcscd-restart");
    assertEquals(0, k.CardDetect(), k.sCardError);
    assertEquals(1026, k.cardStatus, "identified afresh, without Close and Open");
    assertEquals(0, k.CardAuthenticate("2026/12/08"));
    assertEquals(0, k.CardVerifySecretCode("1234"));
    assertEquals(0, k.SignTransaction("Pay 1.00", 0));
  }

  @Test
  @Timeout(180)
  void shortSoak() {
    SoakBench.Result r = SoakBench.run(500, 100, System.getProperty("qorx.harness"), System.out);
    assertEquals(List.of(), r.failures());
    List<SoakBench.Sample> s = r.samples();
    assertEquals(5, s.size());
    // A descriptor the JVM holds for a moment (its own reads of /proc and cgroup files) can show
    // in any one sample; a leak shows in every sample after it. So the fewer of the last two
    // must not be above the fewer of the two after the first interval.
    int settled = Math.min(s.get(1).descriptors(), s.get(2).descriptors());
    int last = Math.min(s.get(3).descriptors(), s.get(4).descriptors());
    assertTrue(last <= settled, "descriptors: " + s);
    // The JVM grows once (its compiler's memory, some 9 MiB, somewhere in the first few hundred
    // operations), in one interval or spread over two; a leak grows in every interval. So the
    // two largest intervals are set aside and the two others must stay small.
    List<Long> steps = new java.util.ArrayList<>();
    for (int i = 1; i < s.size(); i++) {
      steps.add(s.get(i).residentKiB() - s.get(i - 1).residentKiB());
    }
    steps.sort(null);
    long growth = 0;
    for (long step : steps.subList(0, steps.size() - 2)) growth += step;
    assertTrue(growth < 2048, "resident memory grew by " + growth + " KiB: " + s);
  }
}
