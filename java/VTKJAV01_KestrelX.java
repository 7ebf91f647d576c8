/**
 * The Java face of the QorX smart-card library (libqorx.so).
 *
 * <p>Every native method drives one process-wide card service inside the library, hands its
 * results back by calling the setters below by name, reports the error state through
 * {@link #setSCardError} and {@link #setWSCardError}, and returns a status: 0 for success,
 * otherwise the failure's code. Each setter stores its value in the public field of the same
 * name, where the applet (or a subclass overriding the setter) picks it up.
 *
 * <p>The statuses are named in {@link QorXStatus}. Besides those every native method may
 * return:
 * <ul>
 *   <li>a framework code ({@link QorXStatus.Framework}) itself when the library failed inside,
 *       for example 49152 ({@code 0xC000}) for a failed PC/SC call; {@link #sCardError} then
 *       tells where and why;</li>
 *   <li>{@link QorXStatus#UNEXPECTED} (258) for any other failure, without the error
 *       setters;</li>
 *   <li>513 when a setter the method calls cannot be found on the object (the error setters
 *       then run twice).</li>
 * </ul>
 * After every call, success or not, {@link #setSCardError} receives the message of the last
 * stored failure ("" after success) and {@link #setWSCardError} its detail.
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

  /** An object to call the native methods on; all objects share the library's one service. */
  public VTKJAV01_KestrelX() {}

  // Readers and card presence.

  /** The number of readers, from {@link #NativeGetReaderCount}. */
  public int readerCount;
  /** A reader's name, from {@link #GetReaderName}. */
  public String readerName;
  /** The name of the open reader, from {@link #NativeOpen}. */
  public String activeReader;
  /** Whether a reader is open: true after {@link #NativeOpen}, false after {@link #NativeClose}. */
  public boolean active;
  /**
   * The card's state from {@link #CardDetect}: 1024 PIN verified, 1025 authenticated, 1026
   * ready, 1027 mute, 1028 no card.
   */
  public int cardStatus;
  /** The card's answer to reset in hexadecimal, from {@link #CardDetect}; "" without a ready card. */
  public String cardATR;

  // Card operations, hashing and reports.

  /** The card's PAN, 16 hexadecimal digits, from {@link #CardAuthenticate}. */
  public String pan;
  /** The card's PAN sequence, 2 hexadecimal digits, from {@link #CardAuthenticate}. */
  public String panSeq;
  /** The card's signature in hexadecimal, from {@link #SignTransaction}. */
  public String criptogramData;
  /** The PIN tries left, 0 to 255. */
  public int ptc;
  /** The card's certificate (DER) in hexadecimal, from {@link #GetCertificate}. */
  public String certificateData;
  /** The card application's status byte, from {@link #GetApplicationState}. */
  public int appState;
  /** The card application's version, 0 to 65535, from {@link #GetApplicationState}. */
  public int versionRelease;
  /** The card's answer opening a secure channel, in hexadecimal, from {@link #SecureChannelInit}. */
  public String initializationData;
  /** The status word the card gave the host's script, from {@link #SecureChannelExecScript}. */
  public int secureChannelResult;
  /** A SHA-1 digest as 40 uppercase hexadecimal digits. */
  public String hashOutput;
  /** The enciphered password for the bank's host, in hexadecimal. */
  public String encryptedPassword;
  /** The plain-text report of this PC's PC/SC installation. */
  public String pcscDiagnosticResult;
  /** The library's four-part file version, from {@link #NativeGetVersion}. */
  public String version;

  /** The message of the last stored failure after the last call ("" after success). */
  public String sCardError = "";
  /** The detail code of the last stored failure: a framework code after a framework error. */
  public int wSCardError;

  // Readers and card presence.

  /**
   * Counts the readers PC/SC lists. Calls {@link #setReaderCount}.
   *
   * @return 0, or a failure's status
   */
  public native int NativeGetReaderCount();

  /**
   * Reads the name of one reader. Calls {@link #setReaderName}.
   *
   * @param index the reader's position in the list, from 0
   * @return 0; {@link QorXStatus#READER_INDEX_OUT_OF_RANGE} for an index past the list
   */
  public native int GetReaderName(int index);

  /**
   * Opens a reader for the card operations. Calls {@link #setActiveReader}, then
   * {@link #setActive} with true.
   *
   * @param reader the reader's name; null, "" or "DEFAULT" for the first listed reader
   * @return 0; {@link QorXStatus#READER_ALREADY_OPEN} while a reader is open (no setter
   *     called), {@link QorXStatus#NO_READER}, {@link QorXStatus#READER_OPEN_FAILED},
   *     {@link QorXStatus#PCSC_MISSING}, {@link QorXStatus#PCSC_INCOMPLETE}
   */
  public native int NativeOpen(String reader);

  /**
   * Closes the open reader and forgets the card's state. Calls {@link #setActive} with false.
   *
   * @return 0; {@link QorXStatus#NO_READER_TO_CLOSE} when none is open
   */
  public native int NativeClose();

  /**
   * Looks at the card in the open reader. Calls {@link #setCardATR} with "" and
   * {@link #setCardStatus} with 0, then {@link #setCardStatus} with the card's state and, for a
   * ready card, {@link #setCardATR} with its answer to reset.
   *
   * @return 0 (the state is in {@link #cardStatus}); {@link QorXStatus#NO_READER_OPEN}
   */
  public native int CardDetect();

  // Card operations.

  /**
   * Reads the card's certificate and checks it against the embedded certification
   * authorities and the date. Calls {@link #setPAN}, then {@link #setPANSEQ}.
   *
   * @param systemDate today as "YYYY/MM/DD"
   * @return 0; {@link QorXStatus#MALFORMED_DATE}, {@link QorXStatus#DATE_AFTER_VALIDITY},
   *     {@link QorXStatus#DATE_BEFORE_VALIDITY}, {@link QorXStatus#CERTIFICATE_INVALID},
   *     {@link QorXStatus#CERTIFICATE_READ_FAILED}, {@link QorXStatus#NO_CARD},
   *     {@link QorXStatus#SELECT_FAILED}
   */
  public native int CardAuthenticate(String systemDate);

  /**
   * Has the card sign data (SHA-1 with RSA, the card's key) after the PIN was verified. Calls
   * {@link #setCriptogramData}.
   *
   * @param data the data: text, signed as its UTF-8 bytes, or hexadecimal digits
   * @param hexadecimal 1 when {@code data} is hexadecimal; any other value takes it as text
   * @return 0; {@link QorXStatus#INVALID_ARGUMENT} for empty data or bad digits,
   *     {@link QorXStatus#STATE_CARD_READY} before {@link #CardAuthenticate},
   *     {@link QorXStatus#STATE_CARD_AUTHENTICATED} before {@link #CardVerifySecretCode}
   */
  public native int SignTransaction(String data, int hexadecimal);

  /**
   * Verifies the PIN on the card; it travels enciphered under the card's key. Calls
   * {@link #setPTC} with the tries left, after success only.
   *
   * @param secretCode the PIN, at most 15 characters
   * @return 0; {@link QorXStatus#SECRET_CODE_REJECTED} (a try is spent),
   *     {@link QorXStatus#SECRET_CODE_BLOCKED}, {@link QorXStatus#STATE_CARD_READY} before
   *     {@link #CardAuthenticate}
   */
  public native int CardVerifySecretCode(String secretCode);

  /**
   * Changes the PIN: verifies the current one, then sets the new one. Calls no result setter.
   *
   * @param currentCode the PIN now
   * @param newCode the new PIN, at most 15 characters
   * @return 0; {@link QorXStatus#SECRET_CODE_REJECTED}, {@link QorXStatus#SECRET_CODE_BLOCKED},
   *     {@link QorXStatus#STATE_CARD_READY} before {@link #CardAuthenticate}
   */
  public native int ChangeSecretCode(String currentCode, String newCode);

  /**
   * Reads the card's certificate. Calls {@link #setCertificateData}.
   *
   * @return 0; {@link QorXStatus#CERTIFICATE_READ_FAILED}, {@link QorXStatus#NO_CARD}
   */
  public native int GetCertificate();

  /**
   * Reads the card application's status, the PIN tries left and the application's version.
   * Calls {@link #setAppState}, {@link #setPTC}, then {@link #setVersionRelease}.
   *
   * @return 0; {@link QorXStatus#NO_CARD}, {@link QorXStatus#NO_READER_OPEN}
   */
  public native int GetApplicationState();

  /**
   * Opens a secure channel between the bank's host and the card. Calls
   * {@link #setInitializationData}.
   *
   * @param hostChallenge the host's challenge, of which the first 8 bytes are used
   * @param hexadecimal 1 when {@code hostChallenge} is hexadecimal
   * @return 0; {@link QorXStatus#INVALID_ARGUMENT} for an empty challenge or bad digits,
   *     {@link QorXStatus#CANNOT_SERVE} for one shorter than 8 bytes
   */
  public native int SecureChannelInit(String hostChallenge, int hexadecimal);

  /**
   * Runs the host's script (template 71 of commands 86) on the card, in the dialogue
   * {@link #SecureChannelInit} opened. Calls {@link #setSecureChannelResult} with the status
   * word of the last command sent.
   *
   * @param script the script in hexadecimal
   * @return 0 (the card's answer is in {@link #secureChannelResult});
   *     {@link QorXStatus#INVALID_ARGUMENT} for an empty script or bad digits,
   *     {@link QorXStatus#CANNOT_SERVE} for a script of another shape
   */
  public native int SecureChannelExecScript(String script);

  // Hashing, password encryption and reports.

  /**
   * Hashes data with SHA-1. Calls {@link #setHashOutput}.
   *
   * @param input the data: text, hashed as its UTF-8 bytes, or hexadecimal digits
   * @param hexadecimal 1 when {@code input} is hexadecimal
   * @return 0; {@link QorXStatus#INVALID_ARGUMENT} for empty data or bad digits
   */
  public native int CalculateSHA1Hash(String input, int hexadecimal);

  /**
   * Hashes a file with SHA-1 as a stream. Calls {@link #setHashOutput}.
   *
   * @param fileName the file's path
   * @return 0; {@link QorXStatus#FILE_CANNOT_OPEN}, {@link QorXStatus#FILE_TOO_LARGE} for a file
   *     of 2 GiB or more or one that cannot be read
   */
  public native int NativeHashFile(String fileName);

  /**
   * Enciphers a password for the bank's host under an issuer key; the card is not used. Calls
   * {@link #setEncryptedPassword}.
   *
   * @param input the password: text, or hexadecimal digits
   * @param hexadecimal 1 when {@code input} is hexadecimal
   * @param type the tag that carries the enciphered block in the result, for example 0x9F55
   * @param keyVersion non-zero (in its low 8 bits) for the newer issuer key
   * @return 0; {@link QorXStatus#INVALID_ARGUMENT} for an empty password or bad digits
   */
  public native int RSAPasswordEncryptWithPublicKey(
      String input, int hexadecimal, int type, int keyVersion);

  /**
   * Writes a plain-text report of this PC's PC/SC installation for support staff. Calls
   * {@link #setPCSCDiagnosticResult}.
   *
   * @return 0; what could not be found is written into the report
   */
  public native int NativePerformPCSCDiagnosticTest();

  /**
   * Reads the library's file version. Calls {@link #setVersion}.
   *
   * @return 0; -1 when the library's file cannot be read
   */
  public native int NativeGetVersion();

  // Setters the native methods call.

  /**
   * Receives the number of readers.
   *
   * @param value the number
   */
  public void setReaderCount(int value) { readerCount = value; }

  /**
   * Receives a reader's name.
   *
   * @param value the name
   */
  public void setReaderName(String value) { readerName = value; }

  /**
   * Receives the name of the reader just opened.
   *
   * @param value the name
   */
  public void setActiveReader(String value) { activeReader = value; }

  /**
   * Receives whether a reader is open.
   *
   * @param value true after open, false after close
   */
  public void setActive(boolean value) { active = value; }

  /**
   * Receives the card's state.
   *
   * @param value 0, then 1024 to 1028
   */
  public void setCardStatus(int value) { cardStatus = value; }

  /**
   * Receives the card's answer to reset.
   *
   * @param value hexadecimal digits, or ""
   */
  public void setCardATR(String value) { cardATR = value; }

  /**
   * Receives the card's PAN.
   *
   * @param value 16 hexadecimal digits
   */
  public void setPAN(String value) { pan = value; }

  /**
   * Receives the card's PAN sequence.
   *
   * @param value 2 hexadecimal digits
   */
  public void setPANSEQ(String value) { panSeq = value; }

  /**
   * Receives the card's signature.
   *
   * @param value hexadecimal digits
   */
  public void setCriptogramData(String value) { criptogramData = value; }

  /**
   * Receives the PIN tries left.
   *
   * @param value 0 to 255
   */
  public void setPTC(int value) { ptc = value; }

  /**
   * Receives the card's certificate.
   *
   * @param value the DER encoding in hexadecimal
   */
  public void setCertificateData(String value) { certificateData = value; }

  /**
   * Receives the card application's status byte.
   *
   * @param value 0 to 255
   */
  public void setAppState(int value) { appState = value; }

  /**
   * Receives the card application's version.
   *
   * @param value 0 to 65535
   */
  public void setVersionRelease(int value) { versionRelease = value; }

  /**
   * Receives the card's answer opening a secure channel.
   *
   * @param value hexadecimal digits
   */
  public void setInitializationData(String value) { initializationData = value; }

  /**
   * Receives the status word the card gave the host's script.
   *
   * @param value 0 to 65535
   */
  public void setSecureChannelResult(int value) { secureChannelResult = value; }

  /**
   * Receives a SHA-1 digest.
   *
   * @param value 40 uppercase hexadecimal digits
   */
  public void setHashOutput(String value) { hashOutput = value; }

  /**
   * Receives the enciphered password.
   *
   * @param value hexadecimal digits
   */
  public void setEncryptedPassword(String value) { encryptedPassword = value; }

  /**
   * Receives the PC/SC report.
   *
   * @param value UTF-8 text of at most 4095 bytes
   */
  public void setPCSCDiagnosticResult(String value) { pcscDiagnosticResult = value; }

  /**
   * Receives the library's file version.
   *
   * @param value "major.minor.patch.tweak"
   */
  public void setVersion(String value) { version = value; }

  /**
   * Receives the message of the last stored failure, after every call.
   *
   * @param value the message; "" after success
   */
  public void setSCardError(String value) { sCardError = value; }

  /**
   * Receives the detail code of the last stored failure, after every call.
   *
   * @param value the detail: a framework code ({@link QorXStatus.Framework}) after a
   *     framework error
   */
  public void setWSCardError(int value) { wSCardError = value; }
}
