import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;

import java.time.Duration;
import java.util.List;
import org.junit.jupiter.api.Test;

/**
 * Without a PC/SC service (the client library is pointed at a socket that does not exist):
 * loading the library and every call come back at once with the documented statuses.
 */
class NoPcscTest {
  @Test
  void everythingAnswersPromptly() {
    assertTimeoutPreemptively(Duration.ofSeconds(20), () -> {
      KestrelRecorder k = new KestrelRecorder();
      assertEquals(0, k.NativeGetReaderCount());
      assertEquals(0, k.readerCount);
      assertEquals(768, k.GetReaderName(0));
      assertEquals(768, k.NativeOpen(null));
      assertEquals(768, k.NativeOpen("DEFAULT"));
      assertEquals(769, k.NativeOpen("Virtual PCD 00 00"));
      assertFalse(k.active);
      assertEquals(2562, k.CardDetect());
      assertEquals(2561, k.NativeClose());
    });
  }

  @Test
  void errorCallbacksAfterSuccessCarryTheEmptyMessage() {
    KestrelRecorder k = new KestrelRecorder();
    assertEquals(2561, k.NativeClose());
    k.take();
    assertEquals(0, k.NativeGetReaderCount());
    // Nothing was stored in this JVM yet (0x0A01 is not a framework failure): detail 0.
    assertEquals(List.of("setReaderCount(0)", "setSCardError(\"\")", "setWSCardError(0)"),
        k.take());
    assertEquals("", k.sCardError);
  }
}
