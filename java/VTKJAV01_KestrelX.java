/**
 * The Java face of the QorX smart-card library (libqorx.so).
 *
 * <p>Every native method drives one process-wide card service inside the library, hands its
 * results back by calling the setters below by name, reports the error state through
 * {@link #setSCardError} and {@link #setWSCardError}, and returns a status: 0 for success,
 * otherwise the failure's code. Each setter stores its value in the public field of the same
 * name, where the applet (or a subclass overriding the setter) picks it up.
 *
 * <p>Calls into the native methods must not overlap: the library takes no lock.
 *
 * <p>The library is loaded with {@code System.loadLibrary("qorx")}, or from the absolute path
 * given by the system property {@code qorx.library} when it is set.
 */
public class VTKJAV01_KestrelX {
  static {
    String path = System.getProperty("qorx.library");
    if (path != null && !path.isEmpty()) {
      System.load(path);
    } else {
      System.loadLibrary("qorx");
    }
  }

  // Readers and card presence.
  public int readerCount;
  public String readerName;
  public String activeReader;
  public boolean active;
  public int cardStatus;
  public String cardATR;

  // Card operations, hashing and reports.
  public String pan;
  public String panSeq;
  public String criptogramData;
  public int ptc;
  public String certificateData;
  public int appState;
  public int versionRelease;
  public String initializationData;
  public int secureChannelResult;
  public String hashOutput;
  public String encryptedPassword;
  public String pcscDiagnosticResult;
  public String version;

  // Error state after the last call: the message ("" after success) and the detail code of
  // the last stored failure.
  public String sCardError = "";
  public int wSCardError;

  // Readers and card presence.
  public native int NativeGetReaderCount();

  public native int GetReaderName(int index);

  public native int NativeOpen(String reader);

  public native int NativeClose();

  public native int CardDetect();

  // Card operations.
  public native int CardAuthenticate(String systemDate);

  public native int SignTransaction(String data, int hexadecimal);

  public native int CardVerifySecretCode(String secretCode);

  public native int ChangeSecretCode(String currentCode, String newCode);

  public native int GetCertificate();

  public native int GetApplicationState();

  public native int SecureChannelInit(String hostChallenge, int hexadecimal);

  public native int SecureChannelExecScript(String script);

  // Hashing, password encryption and reports.
  public native int CalculateSHA1Hash(String input, int hexadecimal);

  public native int NativeHashFile(String fileName);

  public native int RSAPasswordEncryptWithPublicKey(
      String input, int hexadecimal, int type, int keyVersion);

  public native int NativePerformPCSCDiagnosticTest();

  public native int NativeGetVersion();

  // Setters the native methods call.
  public void setReaderCount(int value) { readerCount = value; }

  public void setReaderName(String value) { readerName = value; }

  public void setActiveReader(String value) { activeReader = value; }

  public void setActive(boolean value) { active = value; }

  public void setCardStatus(int value) { cardStatus = value; }

  public void setCardATR(String value) { cardATR = value; }

  public void setPAN(String value) { pan = value; }

  public void setPANSEQ(String value) { panSeq = value; }

  public void setCriptogramData(String value) { criptogramData = value; }

  public void setPTC(int value) { ptc = value; }

  public void setCertificateData(String value) { certificateData = value; }

  public void setAppState(int value) { appState = value; }

  public void setVersionRelease(int value) { versionRelease = value; }

  public void setInitializationData(String value) { initializationData = value; }

  public void setSecureChannelResult(int value) { secureChannelResult = value; }

  public void setHashOutput(String value) { hashOutput = value; }

  public void setEncryptedPassword(String value) { encryptedPassword = value; }

  public void setPCSCDiagnosticResult(String value) { pcscDiagnosticResult = value; }

  public void setVersion(String value) { version = value; }

  public void setSCardError(String value) { sCardError = value; }

  public void setWSCardError(int value) { wSCardError = value; }
}
