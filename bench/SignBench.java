import java.io.BufferedReader;
import java.io.ByteArrayInputStream;
import java.io.InputStreamReader;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.charset.StandardCharsets;
import java.security.MessageDigest;
import java.security.PublicKey;
import java.security.Signature;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.security.interfaces.RSAPublicKey;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HexFormat;
import java.util.List;
import javax.crypto.Cipher;
import javax.smartcardio.Card;
import javax.smartcardio.CardChannel;
import javax.smartcardio.CardException;
import javax.smartcardio.CardTerminal;
import javax.smartcardio.CommandAPDU;
import javax.smartcardio.ResponseAPDU;
import javax.smartcardio.TerminalFactory;

/**
 * The Java side of bench_sign. Arguments: reader, the application's AID in hexadecimal, the
 * text to sign, the PIN and the date for the card authentication.
 *
 * <p>Opens the reader through libqorx.so, authenticates the card and verifies the PIN, connects
 * a second handle through javax.smartcardio, prints "certificate HEX" (the card's certificate)
 * and then takes commands on standard input, one a line:
 *
 * <ul>
 *   <li>"native N": N calls of SignTransaction
 *   <li>"smartcardio N": N signatures with the same APDUs through javax.smartcardio
 *   <li>"quit"
 * </ul>
 *
 * <p>Each is answered with one line, "ok NANOSECONDS CPU" for the N operations (wall time and
 * this thread's processor time), or "error TEXT".
 * Every signature is checked with the certificate's key after the clock has stopped.
 */
public class SignBench {
  static final HexFormat HEX = HexFormat.of().withUpperCase();
  static final byte[] DIGEST_INFO_PREFIX = HEX.parseHex("3021300906052B0E03021A05000414");

  final VTKJAV01_KestrelX k = new VTKJAV01_KestrelX();
  final byte[] aid;
  final String text;
  final byte[] pin;
  PublicKey key;
  int keyLength;
  Cipher rsa;
  Card card;
  CardChannel channel;

  SignBench(String[] args) {
    aid = HEX.parseHex(args[1]);
    text = args[2];
    pin = args[3].getBytes(StandardCharsets.US_ASCII);
  }

  static void require(boolean condition, String what) {
    if (!condition) throw new IllegalStateException(what);
  }

  void open(String reader, String date) throws Exception {
    require(k.NativeOpen(reader) == 0, "NativeOpen: " + k.sCardError);
    long end = System.nanoTime() + 5_000_000_000L;
    while (!(k.CardDetect() == 0 && k.cardStatus == 1026)) {
      require(System.nanoTime() < end, "no card ready in the reader");
      Thread.sleep(20);
    }
    int status = k.CardAuthenticate(date);
    require(status == 0, "CardAuthenticate: " + status + " " + k.sCardError);
    status = k.CardVerifySecretCode(new String(pin, StandardCharsets.US_ASCII));
    require(status == 0, "CardVerifySecretCode: " + status + " " + k.sCardError);
    require(k.GetCertificate() == 0, "GetCertificate: " + k.sCardError);
    X509Certificate certificate =
        (X509Certificate) CertificateFactory.getInstance("X.509").generateCertificate(
            new ByteArrayInputStream(HEX.parseHex(k.certificateData)));
    key = certificate.getPublicKey();
    keyLength = (((RSAPublicKey) key).getModulus().bitLength() + 7) / 8;
    rsa = Cipher.getInstance("RSA/ECB/NoPadding");
    rsa.init(Cipher.ENCRYPT_MODE, key);

    CardTerminal terminal = TerminalFactory.getDefault().terminals().getTerminal(reader);
    require(terminal != null, "javax.smartcardio does not list " + reader);
    card = terminal.connect("*");
    channel = card.getBasicChannel();
  }

  /** One SignTransaction through the native method; its signature. */
  byte[] signNative() {
    int status = k.SignTransaction(text, 0);
    require(status == 0, "SignTransaction: " + status + " " + k.sCardError);
    return HEX.parseHex(k.criptogramData);
  }

  ResponseAPDU send(CommandAPDU command, String name) throws CardException {
    ResponseAPDU response = channel.transmit(command);
    require(
        response.getSW() == 0x9000, name + " returned " + Integer.toHexString(response.getSW()));
    return response;
  }

  /** The signature's APDUs as the library sends them, in one exclusive access. */
  byte[] signSmartcardio() throws Exception {
    CommandAPDU select = new CommandAPDU(0x00, 0xA4, 0x04, 0x00, aid, 256);
    byte[] digest =
        MessageDigest.getInstance("SHA-1").digest(text.getBytes(StandardCharsets.UTF_8));
    byte[] digestInfo = Arrays.copyOf(DIGEST_INFO_PREFIX, DIGEST_INFO_PREFIX.length + 20);
    System.arraycopy(digest, 0, digestInfo, DIGEST_INFO_PREFIX.length, 20);
    card.beginExclusive();
    try {
      send(select, "SELECT");
      byte[] challenge =
          send(new CommandAPDU(0x00, 0x84, 0x00, 0x00, 256), "GET CHALLENGE").getData();
      require(challenge.length == 8, "the challenge has " + challenge.length + " bytes");
      // 00 02, the challenge with its 00 bytes sent as FF, FF filler, 00, the PIN.
      byte[] block = new byte[keyLength];
      Arrays.fill(block, (byte) 0xFF);
      block[0] = 0x00;
      block[1] = 0x02;
      for (int i = 0; i < challenge.length; ++i) {
        if (challenge[i] != 0) block[2 + i] = challenge[i];
      }
      block[keyLength - pin.length - 1] = 0x00;
      System.arraycopy(pin, 0, block, keyLength - pin.length, pin.length);
      byte[] enciphered = rsa.doFinal(block);
      Arrays.fill(block, (byte) 0);
      send(new CommandAPDU(0x00, 0x20, 0x00, 0x08, enciphered), "VERIFY");
      byte[] signature =
          send(new CommandAPDU(0x00, 0x88, 0x00, 0x00, digestInfo, 256), "INTERNAL AUTHENTICATE")
              .getData();
      send(select, "SELECT");
      return signature;
    } finally {
      card.endExclusive();
    }
  }

  void check(List<byte[]> signatures) throws Exception {
    Signature verifier = Signature.getInstance("SHA1withRSA");
    for (byte[] signature : signatures) {
      verifier.initVerify(key);
      verifier.update(text.getBytes(StandardCharsets.UTF_8));
      require(verifier.verify(signature), "a signature does not verify");
    }
  }

  String run(String path, int count) throws Exception {
    List<byte[]> signatures = new ArrayList<>(count);
    ThreadMXBean threads = ManagementFactory.getThreadMXBean();
    long cpu = threads.getCurrentThreadCpuTime();
    long start = System.nanoTime();
    for (int i = 0; i < count; ++i) {
      signatures.add(path.equals("native") ? signNative() : signSmartcardio());
    }
    long elapsed = System.nanoTime() - start;
    cpu = threads.getCurrentThreadCpuTime() - cpu;
    check(signatures);
    return "ok " + elapsed + " " + cpu;
  }

  public static void main(String[] args) throws Exception {
    SignBench bench = new SignBench(args);
    try {
      bench.open(args[0], args[4]);
    } catch (Exception e) {
      System.out.println("error " + e.getMessage());
      return;
    }
    System.out.println("certificate " + bench.k.certificateData);
    BufferedReader in =
        new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8));
    for (String line; (line = in.readLine()) != null && !line.equals("quit");) {
      String[] words = line.split(" ");
      String answer;
      try {
        require(words.length == 2 && (words[0].equals("native") || words[0].equals("smartcardio")),
            "unknown command " + line);
        answer = bench.run(words[0], Integer.parseInt(words[1]));
      } catch (Exception e) {
        answer = "error " + e.getMessage();
      }
      System.out.println(answer);
    }
    bench.card.disconnect(false);
    bench.k.NativeClose();
  }
}
