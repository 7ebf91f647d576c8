import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.io.RandomAccessFile;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.HexFormat;
import java.util.List;
import java.util.Random;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Hashing, the diagnostic report and the version through the JVM and libqorx.so; the report
 * against the real pcscd with its vpcd readers.
 */
class ReportsTest {
  /** Also records the setters of these methods. */
  static class Recorder extends KestrelRecorder {
    @Override
    public void setHashOutput(String value) {
      calls.add("setHashOutput(\"" + value + "\")");
      super.setHashOutput(value);
    }

    @Override
    public void setPCSCDiagnosticResult(String value) {
      calls.add("setPCSCDiagnosticResult(...)");
      super.setPCSCDiagnosticResult(value);
    }

    @Override
    public void setVersion(String value) {
      calls.add("setVersion(\"" + value + "\")");
      super.setVersion(value);
    }
  }

  // After a file failure the stored error is (785, detail 0, empty message): every call that
  // follows reports exactly these until something else is stored.
  static final List<String> CLEAN_ERROR = List.of("setSCardError(\"\")", "setWSCardError(0)");

  Recorder k;
  @TempDir Path dir;

  @BeforeEach
  void knownErrorRecord() {
    k = new Recorder();
    assertEquals(785, k.NativeHashFile("/nonexistent/file"));
    k.take();
  }

  static List<String> then(String setter, List<String> after) {
    List<String> all = new ArrayList<>();
    all.add(setter);
    all.addAll(after);
    return all;
  }

  static String sha1(byte[] bytes) throws Exception {
    return HexFormat.of().withUpperCase().formatHex(MessageDigest.getInstance("SHA-1").digest(bytes));
  }

  @Test
  void textAndHexadecimalInput() throws Exception {
    String abc = "A9993E364706816ABA3E25717850C26C9CD0D89D";
    Object[][] cases = {
        {"abc", 0, abc}, {"61 62\t63", 1, abc}, {"0A", 2, sha1("0A".getBytes())},
        {"ação", 0, sha1("ação".getBytes(StandardCharsets.UTF_8))},
    };
    for (Object[] c : cases) {
      assertEquals(0, k.CalculateSHA1Hash((String) c[0], (Integer) c[1]), (String) c[0]);
      assertEquals(then("setHashOutput(\"" + c[2] + "\")", CLEAN_ERROR), k.take(), (String) c[0]);
    }
    Object[][] refused = {{"", 0}, {null, 0}, {"ABC", 1}, {"zz", 1}};
    for (Object[] c : refused) {
      assertEquals(259, k.CalculateSHA1Hash((String) c[0], (Integer) c[1]));
      assertEquals(CLEAN_ERROR, k.take(), "no digest for " + c[0]);
    }
  }

  @Test
  void filesAreHashedOrRefusedAsTheControlDoes() throws Exception {
    byte[] content = new byte[3 * 1024 * 1024 + 5];
    new Random(7).nextBytes(content);
    Path file = dir.resolve("data.bin");
    Files.write(file, content);
    assertEquals(0, k.NativeHashFile(file.toString()));
    assertEquals(then("setHashOutput(\"" + sha1(content) + "\")", CLEAN_ERROR), k.take());

    Path big = dir.resolve("big");
    try (RandomAccessFile f = new RandomAccessFile(big.toFile(), "rw")) {
      f.setLength(1L << 31); // sparse
    }
    Object[][] cases = {
        {dir.resolve("none").toString(), 785}, {dir.toString(), 785}, {big.toString(), 786},
        {"/sys/devices/system/cpu/online", 786}, // shorter than its size: a read failure
        {null, 259},
    };
    for (Object[] c : cases) {
      assertEquals(c[1], k.NativeHashFile((String) c[0]), String.valueOf(c[0]));
      assertEquals(CLEAN_ERROR, k.take(), "detail 0 and no message for " + c[0]);
    }
  }

  @Test
  void versionIsTheProjectVersion() {
    assertEquals(0, k.NativeGetVersion());
    String expected = System.getProperty("qorx.expectedVersion");
    assertEquals(expected, k.version);
    assertEquals(then("setVersion(\"" + expected + "\")", CLEAN_ERROR), k.take());
  }

  /** A library file whose version record was changed reports the change: it is read from disk. */
  @Test
  void versionIsReadFromTheFile() throws Exception {
    byte[] library = Files.readAllBytes(Path.of(System.getProperty("qorx.library")));
    int at = indexOf(library, new byte[] {(byte) 0xBD, 0x04, (byte) 0xEF, (byte) 0xFE});
    assertTrue(at > 0, "no version record");
    byte[] version = {0x04, 0x03, 0x02, 0x01, 0x08, 0x07, 0x06, 0x05}; // 0x102.0x304.0x506.0x708
    System.arraycopy(version, 0, library, at + 8, version.length);
    Path copy = dir.resolve("libqorx.so");
    Files.write(copy, library);

    String classPath = location(PrintVersion.class) + File.pathSeparator
        + location(VTKJAV01_KestrelX.class);
    Process child = new ProcessBuilder(System.getProperty("java.home") + "/bin/java", "-Xcheck:jni",
        "-Dqorx.library=" + copy, "-cp", classPath, "ReportsTest$PrintVersion")
                        .redirectErrorStream(true)
                        .start();
    String output = new String(child.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    assertEquals(0, child.waitFor(), output);
    assertEquals("0 258.772.1286.1800", output.trim());
  }

  /** Run in a JVM of its own, over the library named by qorx.library. */
  static class PrintVersion {
    public static void main(String[] args) {
      VTKJAV01_KestrelX k = new VTKJAV01_KestrelX();
      int status = k.NativeGetVersion();
      System.out.println(status + " " + k.version);
    }
  }

  @Test
  void reportOfThisMachine() throws Exception {
    assertEquals(0, k.NativePerformPCSCDiagnosticTest());
    assertEquals(then("setPCSCDiagnosticResult(...)", CLEAN_ERROR), k.take());
    String report = k.pcscDiagnosticResult;
    assertFalse(report.contains("\uFFFD"), report);
    assertTrue(report.length() < 4096, report);
    List<String> lines = List.of(report.split("\n", -1));
    String version = "(\\d+\\.\\d+\\.\\d+\\.\\d+|nao_localizado)";
    String[] shapes = {
        "\\[PCSCDiagnosticTest\\]", "Processador\\.Arquitetura = .+", "Processador\\.Modelo = .+",
        "Processador\\.Quantidade= [1-9]\\d*", "Processador\\.Nivel= \\d+",
        "Processador\\.Revisao= \\d+", "Sistema\\.Nome = .+ Linux .+",
        "Sistema\\.DiretorioInstalacao = /.+",
    };
    for (int i = 0; i < shapes.length; i++) {
      assertTrue(lines.get(i).matches(shapes[i]), lines.get(i));
    }
    int i = shapes.length;
    while (lines.get(i).matches("PCSCLib\\.\\S+ = " + version)) i++;
    assertTrue(i >= shapes.length + 3, "pcscd, pcsc-lite and at least one driver:\n" + report);

    // The versions are those of the installed packages, and the id that of the running pcscd.
    assertTrue(report.contains("\nPCSCLib.pcscd = " + packageVersion("pcscd") + "\n"), report);
    assertTrue(report.contains("\nPCSCLib.libpcsclite.so.1 = " + packageVersion("libpcsclite1") + "\n"),
        report);
    assertTrue(report.contains("\nPCSCLib./usr/lib/pcsc/drivers/serial/libifdvpcd.so = "
                   + packageVersion("vsmartcard-vpcd") + "\n"),
        report);
    Matcher pcscd = Pattern.compile("pcscd (\\d+) ").matcher(Harness.run("status"));
    assertTrue(pcscd.find(), "the harness sees no pcscd");
    assertEquals(String.format("PCSCRM= %08x; Gerenciador de Recursos OK.",
                     Integer.parseInt(pcscd.group(1))),
        lines.get(i));

    Matcher count = Pattern.compile("Leitoras\\.Quantidade = (\\d+)").matcher(lines.get(i + 1));
    assertTrue(count.matches(), lines.get(i + 1));
    int readers = Integer.parseInt(count.group(1));
    assertTrue(readers >= 2, report);
    assertEquals("Leitoras.Leitora.0 = Virtual PCD 00 00", lines.get(i + 2));
    assertEquals("Leitoras.Leitora.1 = Virtual PCD 00 01", lines.get(i + 3));
    assertEquals(List.of("TecnologiaAtiva.Modelo = JNI", ""),
        lines.subList(i + 2 + readers, lines.size()));
  }

  /** "1.9.9-2" as the report gives it: the upstream version's dotted numbers, four parts. */
  static String packageVersion(String name) throws Exception {
    Process p = new ProcessBuilder("dpkg-query", "-W", "-f=${Version}", name).start();
    String v = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    assertEquals(0, p.waitFor(), "package " + name);
    Matcher m = Pattern.compile("^(?:\\d+:)?(\\d+(?:\\.\\d+){0,3})").matcher(v);
    assertTrue(m.find(), v);
    List<String> parts = new ArrayList<>(List.of(m.group(1).split("\\.")));
    while (parts.size() < 4) parts.add("0");
    return String.join(".", parts);
  }

  static int indexOf(byte[] haystack, byte[] needle) {
    outer:
    for (int i = 0; i + needle.length <= haystack.length; i++) {
      for (int j = 0; j < needle.length; j++) {
        if (haystack[i + j] != needle[j]) continue outer;
      }
      return i;
    }
    return -1;
  }

  static String location(Class<?> c) throws Exception {
    return new File(c.getProtectionDomain().getCodeSource().getLocation().toURI()).getPath();
  }
}
