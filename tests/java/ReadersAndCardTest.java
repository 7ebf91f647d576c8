import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * The reader and card-presence methods end to end: the JVM, libqorx.so, the real pcscd with its
 * vpcd readers and the card simulator "main" behind "Virtual PCD 00 00".
 */
class ReadersAndCardTest {
  static final String READER = "Virtual PCD 00 00";
  // The simulator's ATRs: T=1 with the history bytes "QorXSim1" and TCK, and T=0.
  static final String ATR_T1 = "3B8801516F725853696D31FB";
  static final String ATR_T0 = "3B08516F725853696D30";

  KestrelRecorder k;

  @BeforeEach
  void freshCardAndClosedReader() {
    k = new KestrelRecorder();
    k.NativeClose(); // whatever an earlier test left open
    Harness.reinsert();
    // A file that cannot be opened stores the error (785, detail 0, empty message), so every
    // test starts from a record whose values it knows.
    assertEquals(785, k.NativeHashFile("/nonexistent/file"));
    k.take();
  }

  @AfterEach
  void close() {
    k.NativeClose();
  }

  /**
   * What ReportStatus adds after a call: the stored message ("" after success) and detail. A
   * failure that is not stored (any status but 256 and the framework codes) leaves both as the
   * test began: the empty message and detail 0.
   */
  static final List<String> ERROR_CALLBACKS = List.of("setSCardError(\"\")", "setWSCardError(0)");

  static List<String> concat(List<String> a, List<String> b) {
    List<String> all = new ArrayList<>(a);
    all.addAll(b);
    return all;
  }

  @Test
  void readersAreCountedAndNamed() {
    assertEquals(0, k.NativeGetReaderCount());
    assertTrue(k.readerCount >= 1, "readers: " + k.readerCount);
    assertEquals(
        concat(List.of("setReaderCount(" + k.readerCount + ")"), ERROR_CALLBACKS), k.take());
    List<String> names = new ArrayList<>();
    for (int i = 0; i < k.readerCount; i++) {
      assertEquals(0, k.GetReaderName(i));
      names.add(k.readerName);
    }
    assertEquals(READER, names.get(0));
    k.take();

    for (int index : new int[] {k.readerCount, -1}) {
      assertEquals(2306, k.GetReaderName(index));
      assertEquals(ERROR_CALLBACKS, k.take(), "only the error callbacks run");
    }
  }

  @Test
  void openByNameByDefaultAndClose() {
    for (String name : Arrays.asList(READER, null, "DEFAULT", "")) {
      assertEquals(0, k.NativeOpen(name), "open " + name);
      assertEquals(READER, k.activeReader);
      assertTrue(k.active);
      assertEquals(concat(List.of("setActiveReader(\"" + READER + "\")", "setActive(true)"),
                       ERROR_CALLBACKS),
          k.take());
      assertEquals(0, k.NativeClose());
      assertFalse(k.active);
      assertEquals(concat(List.of("setActive(false)"), ERROR_CALLBACKS), k.take());
    }
  }

  @Test
  void openTwiceCloseTwiceAndNoReader() {
    assertEquals(2562, k.CardDetect(), "no reader open");
    assertEquals(
        concat(List.of("setCardATR(\"\")", "setCardStatus(0)"), ERROR_CALLBACKS),
        k.take());

    assertEquals(0, k.NativeOpen(READER));
    k.take();
    assertEquals(2560, k.NativeOpen("Virtual PCD 00 01"));
    assertEquals(
        ERROR_CALLBACKS, k.take(), "setActiveReader and setActive not called");
    assertEquals(READER, k.activeReader);
    assertEquals(0, k.CardDetect(), "the first reader stays open");
    assertEquals(1026, k.cardStatus);

    assertEquals(0, k.NativeClose());
    assertEquals(2561, k.NativeClose());
    assertFalse(k.active);
  }

  @Test
  void readyCardReportsItsAtr() {
    assertEquals(0, k.NativeOpen(null));
    k.take();
    assertEquals(0, k.CardDetect());
    assertEquals(1026, k.cardStatus);
    assertEquals(ATR_T1, k.cardATR);
    assertEquals(concat(List.of("setCardATR(\"\")", "setCardStatus(0)", "setCardStatus(1026)",
                            "setCardATR(\"" + ATR_T1 + "\")"),
                     ERROR_CALLBACKS),
        k.take());
  }

  /** CardDetect until the card status is `state` (a removal takes pcscd a moment). */
  void detectUntil(int state) {
    assertTrue(Harness.waitFor(() -> {
      k.take();
      return k.CardDetect() == 0 && k.cardStatus == state;
    }),
        "card status " + k.cardStatus + ", wanted " + state);
  }

  @Test
  void noCardRemovalAndReinsertion() {
    Harness.remove();
    assertEquals(0, k.NativeOpen(null));
    detectUntil(1028);
    assertEquals("", k.cardATR);
    assertEquals(concat(List.of("setCardATR(\"\")", "setCardStatus(0)", "setCardStatus(1028)"),
                     ERROR_CALLBACKS),
        k.take(), "setCardATR once, with the empty text");

    Harness.reinsert("t0");
    assertEquals(0, k.CardDetect());
    assertEquals(1026, k.cardStatus);
    assertEquals(ATR_T0, k.cardATR);

    Harness.remove();
    detectUntil(1028);
    assertEquals("", k.cardATR);
    assertEquals(concat(List.of("setCardATR(\"\")", "setCardStatus(0)", "setCardStatus(1028)"),
                     ERROR_CALLBACKS),
        k.take());

    Harness.reinsert();
    assertEquals(0, k.CardDetect());
    assertEquals(1026, k.cardStatus);
    assertEquals(ATR_T1, k.cardATR);
  }

  @Test
  void cardWhoseApplicationCannotBeSelected() {
    Harness.reinsert("select-fail");
    assertEquals(0, k.NativeOpen(null));
    assertEquals(1280, k.CardDetect());
    assertEquals(0, k.cardStatus);
    assertEquals("", k.cardATR);
    // Identified once, however it went: the next look finds the card ready.
    assertEquals(0, k.CardDetect());
    assertEquals(1026, k.cardStatus);
    assertEquals(ATR_T1, k.cardATR);
  }

  @Test
  void frameworkFailureReturnsItsOwnCode() {
    // An FCI that is not a complete TLV element: identification fails in the TLV decoder.
    Harness.reinsert("bank-fci 6F0584");
    assertEquals(0, k.NativeOpen(null));
    k.take();
    assertEquals(50432, k.CardDetect());
    List<String> calls = k.take();
    assertEquals(List.of("setCardATR(\"\")", "setCardStatus(0)"), calls.subList(0, 2));
    assertTrue(calls.get(2).matches("setSCardError\\(\"TLV\\(\\d+\\) : \"\\)"), calls.get(2));
    assertEquals("setWSCardError(50432)", calls.get(3));
    assertEquals(4, calls.size());
    // A later success still shows the stored detail, with an empty message.
    assertEquals(0, k.CardDetect());
    calls = k.take();
    assertEquals(List.of("setSCardError(\"\")", "setWSCardError(50432)"),
        calls.subList(calls.size() - 2, calls.size()));
  }

  @Test
  void unusableReaderNames() {
    assertEquals(769, k.NativeOpen("No such reader"));
    assertFalse(k.active);
    assertNull(k.activeReader);
    // A NUL would cut the name short and open another reader.
    assertEquals(259, k.NativeOpen(READER + "\0junk"));
    assertFalse(k.active);
    assertEquals(2561, k.NativeClose(), "nothing was opened");
  }

  @Test
  void jvmEndsCleanlyWithTheReaderOpen() throws Exception {
    String classPath =
        location(OpenAndExit.class) + File.pathSeparator + location(VTKJAV01_KestrelX.class);
    Process child = new ProcessBuilder(System.getProperty("java.home") + "/bin/java", "-Xcheck:jni",
        "-Dqorx.library=" + System.getProperty("qorx.library"), "-cp", classPath, "OpenAndExit")
                        .redirectErrorStream(true)
                        .start();
    String output = new String(child.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    assertEquals(0, child.waitFor(), output);
    assertEquals("0 0 1026", output.trim());
    // The card is free again for us.
    assertEquals(0, k.NativeOpen(null));
    assertEquals(0, k.CardDetect());
    assertEquals(1026, k.cardStatus);
  }

  static String location(Class<?> c) throws Exception {
    return new File(c.getProtectionDomain().getCodeSource().getLocation().toURI()).getPath();
  }
}
