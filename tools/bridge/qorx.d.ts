// Types for qorx.js, the QorX card control for a bank page. Load qorx.js with a <script> tag;
// it defines the global QorX. The reference page is qorx-reference.md beside this file.
//
// Every member of the control answers with a promise: a method resolves to its status (0 for
// success, see QorX.Status), a property to its value. A failure of the bridge itself rejects
// with a QorX.Error.

declare namespace QorX {
  /** What went wrong on the way to the card, as QorX.Error's `code`. */
  type ErrorCode =
    | "extension" // the QorX extension is not installed or not enabled for this page
    | "host" // the native host qorx-bridge is missing or ended
    | "origin" // this page's origin may not use the card reader
    | "timeout" // no answer within the control's timeout
    | "bridge" // the connection to the card reader closed
    | "control" // the control could not be created, or a member failed with an HRESULT
    | "member" // the control has no such member, or a method was read or a property called
    | "arguments" // wrong number or types of arguments
    | "request" // a malformed request
    | "json" // a request that is not JSON
    | "size" // a request or an answer over the browser's 1 MB limit
    | "pinentry" // the host's PIN dialog program is missing, crashed, hung or talked nonsense
    | "path"; // HashFile or SignFile given a file's name instead of a File or Blob

  /** How a call fails when the bridge cannot carry it; catch it with `instanceof QorX.Error`. */
  interface Error extends globalThis.Error {
    readonly name: "QorXError";
    readonly code: ErrorCode;
    /** The HRESULT when the control itself refused the call. */
    readonly hresult?: number;
  }
  interface ErrorConstructor {
    new (code: ErrorCode, message: string, hresult?: number): Error;
    readonly prototype: Error;
  }

  interface CreateOptions {
    /** Milliseconds each call may take; 30000 by default. */
    timeout?: number;
  }

  /** The card's state: 1024 PIN verified, 1025 authenticated, 1026 ready, 1027 mute, 1028 no card. */
  type CardStatus = number;

  /** A card inserted or removed, or a reader that came or went. */
  interface CardChangeEvent {
    readonly type: "cardchange";
    /** The reader's name. */
    readonly reader: string;
    /** The reader's card now: 1026 present, 1027 mute, 1028 no card; 0 when the reader went
     *  or cannot be used. */
    readonly cardStatus: CardStatus;
    /** Set when the reader has just come. */
    readonly readerAdded?: true;
    /** Set when the reader went away (cardStatus 0). */
    readonly readerRemoved?: true;
  }

  type CardChangeListener = (event: CardChangeEvent) => void;

  /** Called as a file goes to the host: `done` bytes of `total` hashed so far, from 0 up to
   *  `total` at the end. */
  type FileProgress = (done: number, total: number) => void;

  /** The control: its 40 members by their names. */
  interface Control {
    // Readers and the card.
    GetReaderCount(): Promise<number>;
    GetReaderName(wReaderIndex: number): Promise<number>;
    Open(sReaderName: string): Promise<number>;
    Close(): Promise<number>;
    CardDetect(): Promise<number>;
    readonly wReaderCount: Promise<number>;
    readonly sReaderName: Promise<string>;
    readonly sActiveReader: Promise<string>;
    readonly bActive: Promise<number>;
    readonly lCardStatus: Promise<number>;
    readonly sCardATR: Promise<string>;

    // The card's certificate, the PIN and signatures.
    CardAuthenticate(sSystemDate: string): Promise<number>;
    GetCertificate(): Promise<number>;
    /** Without the code (left out, null or undefined) the host asks in the desktop's PIN dialog. */
    CardVerifySecretCode(sSecretCode?: string | null): Promise<number>;
    /** Without the codes the host asks for the current one and the new one twice. */
    ChangeSecretCode(sActualSecretCode?: string | null, sNewSecretCode?: string | null): Promise<number>;
    CardLogout(): Promise<number>;
    GetApplicationState(): Promise<number>;
    SignTransaction(sTransactionData: string, boolHexadecimalInputString: number): Promise<number>;
    /** Signs the SHA-1 of a file the customer chose (a File from <input type=file> or a drop,
     *  or any Blob), sent to the host in chunks; a page cannot name a file ("path"). */
    SignFile(file: Blob, onProgress?: FileProgress): Promise<number>;
    readonly sPAN: Promise<string>;
    readonly sPANSEQ: Promise<string>;
    readonly sCertificateData: Promise<string>;
    readonly wRetries: Promise<number>;
    readonly wAppStatus: Promise<number>;
    readonly wVersionRelease: Promise<number>;
    readonly sCriptogramData: Promise<string>;

    // The bank's secure channel.
    SecureChannelInit(sHostChallenge: string, boolHexadecimalInputString: number): Promise<number>;
    SecureChannelExecScript(sScriptBuffer: string): Promise<number>;
    readonly sInitializationData: Promise<string>;
    readonly wSecureChannelResult: Promise<number>;

    // Hashing, the password and reports.
    CalculateSHA1Hash(sInputBuffer: string, boolHexadecimalInputString: number): Promise<number>;
    /** The SHA-1 of a file the customer chose, as SignFile sends it, into sHashOutput. */
    HashFile(file: Blob, onProgress?: FileProgress): Promise<number>;
    RSAPasswordEncryptWithPublicKey(
      sInputData: string,
      boolHexadecimalInputString: number,
      wType: number,
      bKeyVersion: number,
    ): Promise<number>;
    PerformPCSCDiagnosticTest(): Promise<number>;
    readonly sHashOutput: Promise<string>;
    readonly sEncryptedPassword: Promise<string>;
    readonly sPCSCDiagnosticResult: Promise<string>;
    readonly sVersion: Promise<string>;

    // The last stored failure.
    readonly wSCardError: Promise<number>;
    readonly sSCardError: Promise<string>;

    // Card events, told by the host's watch over the readers.
    addEventListener(type: "cardchange", listener: CardChangeListener): void;
    removeEventListener(type: "cardchange", listener: CardChangeListener): void;
  }

  interface Messages {
    /** The message of a number, in the words support staff use; null for one not listed. */
    message(code: number): string | null;
  }

  // ---- generated by qorx-statusgen from core/StatusTable.h: do not edit ----
  interface StatusNames {
    /** success */
    readonly SUCCESS: 0;
    /** framework error */
    readonly FRAMEWORK_ERROR: 256;
    /** request cannot be served */
    readonly CANNOT_SERVE: 257;
    /** unexpected failure */
    readonly UNEXPECTED: 258;
    /** invalid argument */
    readonly INVALID_ARGUMENT: 259;
    /** card certificate not valid */
    readonly CERTIFICATE_INVALID: 272;
    /** PC/SC library cannot be loaded */
    readonly PCSC_MISSING: 512;
    /** PC/SC library incomplete */
    readonly PCSC_INCOMPLETE: 513;
    /** no reader present */
    readonly NO_READER: 768;
    /** reader cannot be opened */
    readonly READER_OPEN_FAILED: 769;
    /** file cannot be opened */
    readonly FILE_CANNOT_OPEN: 785;
    /** file too large or unreadable */
    readonly FILE_TOO_LARGE: 786;
    /** application selection failed */
    readonly SELECT_FAILED: 1280;
    /** selected application invalidated */
    readonly SELECT_INVALIDATED: 1281;
    /** date on or after the end of the certificate's validity */
    readonly DATE_AFTER_VALIDITY: 1282;
    /** date before the start of the certificate's validity */
    readonly DATE_BEFORE_VALIDITY: 1283;
    /** secret code rejected */
    readonly SECRET_CODE_REJECTED: 1794;
    /** secret code blocked */
    readonly SECRET_CODE_BLOCKED: 1795;
    /** reader index out of range */
    readonly READER_INDEX_OUT_OF_RANGE: 2306;
    /** a reader is already open */
    readonly READER_ALREADY_OPEN: 2560;
    /** no reader open */
    readonly NO_READER_TO_CLOSE: 2561;
    /** no reader open */
    readonly NO_READER_OPEN: 2562;
    /** no card in the reader */
    readonly NO_CARD: 2563;
    /** card not authenticated */
    readonly STATE_CARD_READY: 2564;
    /** secret code not verified */
    readonly STATE_CARD_AUTHENTICATED: 2565;
    /** card not in the state needed */
    readonly STATE_OTHER: 2566;
    /** malformed date */
    readonly MALFORMED_DATE: 3072;
    /** reading the card's certificate failed */
    readonly CERTIFICATE_READ_FAILED: 3328;
    /** PIN dialog cancelled or not answered */
    readonly PIN_ENTRY_CANCELLED: 3585;
    /** a secret code from the page is refused: the PIN dialog asks */
    readonly PAGE_CODE_REFUSED: 3586;
  }
  interface FrameworkCodeNames {
    /** key set not usable */
    readonly KEY_SET_NOT_USABLE: 257;
    /** an external operation failed */
    readonly EXTERNAL: 49152;
    /** invalid argument or unsupported operation */
    readonly INVALID_ARGUMENT: 49408;
    /** memory exhausted or object not creatable */
    readonly NO_MEMORY: 49664;
    /** file too large */
    readonly FILE_TOO_LARGE: 49921;
    /** file cannot be opened */
    readonly FILE_OPEN: 49922;
    /** file cannot be read */
    readonly FILE_READ: 49923;
    /** length out of range */
    readonly LENGTH: 50176;
    /** malformed data */
    readonly MALFORMED: 50432;
    /** slot not in the needed state */
    readonly WRONG_STATE: 50688;
    /** key not found */
    readonly KEY_NOT_FOUND: 50944;
    /** PC/SC library cannot be loaded */
    readonly PCSC_LIBRARY_MISSING: 61441;
    /** a PC/SC entry point is missing */
    readonly PCSC_ENTRY_MISSING: 61442;
  }
  // ---- end of the generated status names ----

  interface Api {
    /** A control for this page; rejects with a QorX.Error when the bridge cannot be reached. */
    create(options?: CreateOptions): Promise<Control>;
    readonly Error: ErrorConstructor;
    /** The statuses a method resolves to. */
    readonly Status: Readonly<StatusNames> & Messages;
    /** The framework codes wSCardError holds after a framework error (256). */
    readonly FrameworkCode: Readonly<FrameworkCodeNames> & Messages;
  }
}

declare const QorX: QorX.Api;
