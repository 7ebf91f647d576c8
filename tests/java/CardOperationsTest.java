import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayInputStream;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.PublicKey;
import java.security.Signature;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.util.Arrays;
import java.util.Base64;
import java.util.HexFormat;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/**
 * The card operations end to end: the JVM, libqorx.so, the real pcscd and the simulated bank
 * card with its own keys. Signatures and enciphered passwords are checked with java.security,
 * as the bank's host would.
 */
class CardOperationsTest {
  static final String TODAY = "2026/12/08";
  static final String PIN = "1234";
  static final HexFormat HEX = HexFormat.of().withUpperCase();

  /** Also records the setters of the card operations. */
  static class Recorder extends KestrelRecorder {
    void note(String setter, Object value) {
      calls.add(setter + "(" + value + ")");
    }

    @Override
    public void setPAN(String v) {
      note("setPAN", v);
      super.setPAN(v);
    }

    @Override
    public void setPANSEQ(String v) {
      note("setPANSEQ", v);
      super.setPANSEQ(v);
    }

    @Override
    public void setPTC(int v) {
      note("setPTC", v);
      super.setPTC(v);
    }

    @Override
    public void setAppState(int v) {
      note("setAppState", v);
      super.setAppState(v);
    }

    @Override
    public void setVersionRelease(int v) {
      note("setVersionRelease", v);
      super.setVersionRelease(v);
    }

    @Override
    public void setCriptogramData(String v) {
      note("setCriptogramData", "...");
      super.setCriptogramData(v);
    }
  }

  Recorder k = new Recorder();

  /** A fresh card with `options`, the reader open and the card ready. */
  void ready(String... options) {
    k.NativeClose();
    Harness.reinsert(options);
    assertEquals(0, k.NativeOpen("Virtual PCD 00 00"));
    assertTrue(Harness.waitFor(() -> k.CardDetect() == 0 && k.cardStatus == 1026));
    k.take();
  }

  void authenticated(String... options) {
    ready(options);
    assertEquals(0, k.CardAuthenticate(TODAY));
    k.take();
  }

  @AfterEach
  void close() {
    k.NativeClose();
  }

  static List<String> errors(String message, int detail) {
    return List.of("setSCardError(\"" + message + "\")", "setWSCardError(" + detail + ")");
  }

  static List<String> with(List<String> first, List<String> then) {
    List<String> all = new java.util.ArrayList<>(first);
    all.addAll(then);
    return all;
  }

  static byte[] testData(String relative) throws Exception {
    return Files.readAllBytes(Path.of(System.getProperty("qorx.testdata"), relative));
  }

  PublicKey cardKey() throws Exception {
    assertEquals(0, k.GetCertificate());
    CertificateFactory factory = CertificateFactory.getInstance("X.509");
    X509Certificate certificate = (X509Certificate) factory.generateCertificate(
        new ByteArrayInputStream(HEX.parseHex(k.certificateData)));
    return certificate.getPublicKey();
  }

  @Test
  void authenticationGivesPanAndSequence() throws Exception {
    ready();
    assertEquals(0, k.CardAuthenticate(TODAY));
    assertEquals(with(List.of("setPAN(4000123456789010)", "setPANSEQ(01)"), errors("", 0)),
        k.take());
    assertEquals(0, k.GetCertificate());
    assertArrayEquals(testData("pki/cards/default.der"), HEX.parseHex(k.certificateData));

    // Each refusal: its status, no result setter, the card back to ready.
    String[][] refused = {
        {"expired", "1282"}, {"notyet", "1283"}, {"tampered", "272"}, {"rogue", "272"},
        {"short-serial", "272"}};
    for (String[] row : refused) {
      ready("profile " + row[0]);
      assertEquals(Integer.parseInt(row[1]), k.CardAuthenticate(TODAY), row[0]);
      List<String> calls = k.take();
      assertEquals(errors("", 0), calls.subList(calls.size() - 2, calls.size()), row[0]);
      assertEquals(2, calls.size(), row[0] + ": " + calls);
      assertEquals(0, k.CardDetect());
      assertEquals(1026, k.cardStatus);
    }
    ready("profile ca4");
    assertEquals(0, k.CardAuthenticate(TODAY));
    assertEquals("4000123456789051", k.pan);
    assertEquals(3072, k.CardAuthenticate("7/11/2007"), "a malformed date: 0x0C00");
  }

  @Test
  void wrongPinThenRightPinAndABlockedCard() {
    authenticated();
    assertEquals(1794, k.CardVerifySecretCode("9999"));
    assertEquals(errors("", 0), k.take(), "no setPTC after a rejected code");
    assertEquals(0, k.GetApplicationState());
    assertEquals(with(List.of("setAppState(1)", "setPTC(2)", "setVersionRelease(258)"),
                     errors("", 0)),
        k.take());
    assertEquals(0, k.CardVerifySecretCode(PIN));
    assertEquals(with(List.of("setPTC(3)"), errors("", 0)), k.take());
    assertEquals(1794, k.CardVerifySecretCode("12345678901234567"), "over 15 characters");

    authenticated("tries 1");
    assertEquals(1795, k.CardVerifySecretCode("0000"));
    assertEquals(1795, k.CardVerifySecretCode(PIN));
    assertEquals(0, k.GetApplicationState());
    assertEquals(0, k.ptc);
    ready();
    assertEquals(2564, k.CardVerifySecretCode(PIN), "not authenticated: 0x0A04");
  }

  @Test
  void signaturesVerifyWithTheCertifiedKey() throws Exception {
    authenticated();
    assertEquals(2565, k.SignTransaction("abc", 0), "secret code not verified: 0x0A05");
    assertEquals(0, k.CardVerifySecretCode(PIN));
    PublicKey key = cardKey();
    Object[][] rows = {
        {"pay 100 EUR", 0, "pay 100 EUR".getBytes(StandardCharsets.UTF_8)},
        {"0A", 2, new byte[] {0x30, 0x41}}, // only 1 selects hexadecimal
        {"00 01 fe FF", 1, new byte[] {0, 1, (byte) 0xFE, (byte) 0xFF}},
    };
    for (Object[] row : rows) {
      k.take();
      assertEquals(0, k.SignTransaction((String) row[0], (Integer) row[1]), (String) row[0]);
      assertEquals(with(List.of("setCriptogramData(...)"), errors("", 0)), k.take());
      Signature verifier = Signature.getInstance("SHA1withRSA");
      verifier.initVerify(key);
      verifier.update((byte[]) row[2]);
      assertTrue(verifier.verify(HEX.parseHex(k.criptogramData)), (String) row[0]);
    }
    assertEquals(259, k.SignTransaction("0G", 1), "not hexadecimal");
    assertEquals(259, k.SignTransaction("", 0), "nothing to sign");
  }

  @Test
  void changedPinIsTheOneThatWorks() {
    authenticated();
    assertEquals(0, k.ChangeSecretCode(PIN, "8642"));
    assertEquals(errors("", 0), k.take(), "no result setter");
    assertEquals(1794, k.CardVerifySecretCode(PIN));
    assertEquals(0, k.CardVerifySecretCode("8642"));
    assertEquals(1794, k.ChangeSecretCode("8642", null));
    assertEquals(1794, k.ChangeSecretCode("8642", "1234567890123456"));
  }

  /** A cursor over DER: the value of each element in turn, its tag checked. */
  static final class Der {
    final byte[] bytes;
    int at;

    Der(byte[] bytes) {
      this.bytes = bytes;
    }

    int header(int tag) {
      assertEquals(tag, bytes[at++] & 0xFF);
      int length = bytes[at++] & 0xFF;
      if (length > 0x80) {
        int count = length & 0x7F;
        length = 0;
        while (count-- > 0) length = length << 8 | (bytes[at++] & 0xFF);
      }
      return length;
    }

    byte[] value(int tag) {
      int length = header(tag);
      at += length;
      return Arrays.copyOfRange(bytes, at - length, at);
    }
  }

  /**
   * Modulus and private exponent of a PKCS #8 RSA key: PrivateKeyInfo { version, algorithm,
   * OCTET STRING { RSAPrivateKey { version, n, e, d, ... } } }.
   */
  static BigInteger[] rsaPrivateKey(byte[] pkcs8) {
    Der info = new Der(pkcs8);
    info.header(0x30);
    info.value(0x02);
    info.value(0x30);
    Der key = new Der(info.value(0x04));
    key.header(0x30);
    key.value(0x02);
    BigInteger modulus = new BigInteger(1, key.value(0x02));
    key.value(0x02);
    return new BigInteger[] {modulus, new BigInteger(1, key.value(0x02))};
  }

  @Test
  void passwordEncipheredForTheIssuer() throws Exception {
    k.NativeClose(); // no card, no reader needed
    for (int version : new int[] {0, 1}) {
      k.take();
      assertEquals(0, k.RSAPasswordEncryptWithPublicKey("Secret-42", 0, 0x9F55, version));
      byte[] result = HEX.parseHex(k.encryptedPassword);
      assertEquals("3081969F558180", HEX.formatHex(result, 0, 7));
      String pem = new String(testData("issuer-keys/issuer-v" + (version == 1 ? 3 : 1) + ".pem"),
          StandardCharsets.US_ASCII);
      String base64 = pem.replaceAll("-----[A-Z ]+-----", "").replaceAll("\\s", "");
      BigInteger[] issuer = rsaPrivateKey(Base64.getDecoder().decode(base64));
      // The raw private operation: what the bank's host recovers from the cryptogram.
      byte[] block = new BigInteger(1, Arrays.copyOfRange(result, 7, 135))
                         .modPow(issuer[1], issuer[0])
                         .toByteArray();
      byte[] padded = new byte[128];
      int length = Math.min(block.length, 128);
      System.arraycopy(block, block.length - length, padded, 128 - length, length);
      assertEquals(2, padded[1]);
      assertEquals("Secret-42",
          new String(Arrays.copyOfRange(padded, 128 - 9, 128), StandardCharsets.US_ASCII));
      assertEquals(0, padded[128 - 10]);
    }
  }

  @Test
  void secureChannelThenScriptInOneDialogue() {
    ready();
    assertEquals(257, k.SecureChannelInit("01020304050607", 1), "7 bytes: refused");
    assertEquals(0, k.SecureChannelInit("0102030405060708", 1));
    assertTrue(k.initializationData.startsWith("30344F07A00000095110018008"
        + "0102030405060708811C"), k.initializationData);
    assertTrue(k.initializationData.endsWith("820103"));
    assertEquals(0, k.SecureChannelExecScript("7115 9F1804 00000001 8605 84E2000000"
        + " 8605 84E2000100"));
    assertEquals(0x9000, k.secureChannelResult);
    assertEquals(259, k.SecureChannelExecScript(""), "no script: no card command");
    assertEquals(0, k.GetApplicationState(), "the next operation ends the dialogue");
  }
}
