// A whole banking session as a bank's page scripts it, every member of the control once at
// least: readers, open, card, certificate and authentication, secret code (wrong, then right),
// signing of text, hexadecimal and a file, hashing, password encryption, secure channel, state,
// secret code change, logout, report and version, close.
//
//   qorx-script banking-session.js FILE-CONTAINING-abc
// The card: the simulator's bank card in the first reader, secret code 1234, three tries.

var failures = 0;
function expect(actual, wanted, what) {
  if (actual !== wanted) {
    WScript.Echo("FAIL " + what + ": got " + actual + ", wanted " + wanted);
    failures++;
  }
}
function expectMatch(actual, pattern, what) {
  if (!pattern.test(actual)) {
    WScript.Echo("FAIL " + what + ": got " + actual + ", wanted " + pattern);
    failures++;
  }
}
function step(what) { WScript.Echo("-- " + what); }

var file = WScript.Arguments(0);
var abcDigest = "A9993E364706816ABA3E25717850C26C9CD0D89D";
var qorx = new ActiveXObject("VTKPLG01_QorBrowserPluginCOM.KestrelX5");

step("readers");
expect(qorx.GetReaderCount(), 0, "GetReaderCount");
expect(qorx.wReaderCount >= 2, true, "wReaderCount of the two virtual readers");
expect(qorx.GetReaderName(0), 0, "GetReaderName(0)");
var reader = qorx.sReaderName;
expect(reader, "Virtual PCD 00 00", "sReaderName");
expect(qorx.GetReaderName(99), 2306, "GetReaderName(99)");

step("open and detect");
expect(qorx.bActive, 0, "bActive before Open");
expect(qorx.Open(reader), 0, "Open");
expect(qorx.bActive, 1, "bActive");
expect(qorx.sActiveReader, reader, "sActiveReader");
expect(qorx.CardDetect(), 0, "CardDetect");
expect(qorx.lCardStatus, 1026, "lCardStatus of a ready card");
expect(qorx.sCardATR, "3B8801516F725853696D31FB", "sCardATR");
expect(qorx.wVersionRelease > 0, true, "wVersionRelease");

step("certificate and authentication");
expect(qorx.sPAN, "", "sPAN before CardAuthenticate");
expect(qorx.GetCertificate(), 0, "GetCertificate");
expectMatch(qorx.sCertificateData, /^30[0-9A-F]{200,}$/, "sCertificateData");
expect(qorx.CardAuthenticate("2026/12/08"), 0, "CardAuthenticate");
expectMatch(qorx.sPAN, /^[0-9A-F]{16}$/, "sPAN");
expectMatch(qorx.sPANSEQ, /^[0-9A-F]{2}$/, "sPANSEQ");
expect(qorx.lCardStatus, 1025, "lCardStatus after authentication");

step("secret code");
expect(qorx.GetApplicationState(), 0, "GetApplicationState");
expect(qorx.wRetries, 3, "wRetries");
var appStatus = qorx.wAppStatus;
expect(qorx.CardVerifySecretCode("9999"), 1794, "CardVerifySecretCode with a wrong code");
expect(qorx.wRetries, 2, "wRetries after a wrong code");
expect(qorx.wAppStatus, appStatus, "wAppStatus after a wrong code");
expect(qorx.CardVerifySecretCode("1234"), 0, "CardVerifySecretCode");
expect(qorx.wRetries, 3, "wRetries after the right code");
expect(qorx.lCardStatus, 1024, "lCardStatus after the secret code");

step("signing");
expect(qorx.SignTransaction("abc", 0), 0, "SignTransaction of text");
var signature = qorx.sCriptogramData;
expectMatch(signature, /^[0-9A-F]{128,}$/, "sCriptogramData");
expect(qorx.SignTransaction("61 62 63", 1), 0, "SignTransaction of hexadecimal");
expect(qorx.sCriptogramData, signature, "the same bytes give the same signature");
expect(qorx.SignFile(file), 0, "SignFile");
expect(qorx.sCriptogramData, signature, "a file of the same bytes too");
expect(qorx.SignFile(file + ".missing"), 785, "SignFile of a missing file");
expect(qorx.sCriptogramData, signature, "a failed SignFile keeps the cryptogram");
expect(qorx.SignTransaction("", 0), 259, "SignTransaction of nothing");
expect(qorx.sCriptogramData, "", "a failed SignTransaction clears the cryptogram");

step("hashing");
expect(qorx.CalculateSHA1Hash("abc", 0), 0, "CalculateSHA1Hash of text");
expect(qorx.sHashOutput, abcDigest, "sHashOutput of text");
expect(qorx.CalculateSHA1Hash("616263", 1), 0, "CalculateSHA1Hash of hexadecimal");
expect(qorx.sHashOutput, abcDigest, "sHashOutput of hexadecimal");
expect(qorx.HashFile(file), 0, "HashFile");
expect(qorx.sHashOutput, abcDigest, "sHashOutput of the file");
expect(qorx.HashFile(file + ".missing"), 785, "HashFile of a missing file");
expect(qorx.sHashOutput, "", "sHashOutput after a missing file");
expect(qorx.wSCardError, 0, "wSCardError after a missing file");

step("password encryption");
expect(qorx.RSAPasswordEncryptWithPublicKey("s3cret", 0, 0xDF71, 1), 0,
       "RSAPasswordEncryptWithPublicKey");
expectMatch(qorx.sEncryptedPassword, /^30[0-9A-F]+$/, "sEncryptedPassword");

step("secure channel");
expect(qorx.SecureChannelInit("0102030405060708", 1), 0, "SecureChannelInit");
expectMatch(qorx.sInitializationData, /^30[0-9A-F]+$/, "sInitializationData");
// 71 { 9F18 script id, 86 one issuer command }
expect(qorx.SecureChannelExecScript("71129F180400000001860984DA00CA0401020304"), 0,
       "SecureChannelExecScript");
expect(qorx.wSecureChannelResult, 0x9000, "wSecureChannelResult");
expect(qorx.SecureChannelInit("01020304", 1), 257, "SecureChannelInit with a short challenge");
expect(qorx.sInitializationData, "", "sInitializationData after a short challenge");

step("secret code change");
expect(qorx.CardVerifySecretCode("1234"), 0, "CardVerifySecretCode before the change");
expect(qorx.ChangeSecretCode("1234", "4321"), 0, "ChangeSecretCode");
expect(qorx.CardVerifySecretCode("4321"), 0, "CardVerifySecretCode with the new code");
expect(qorx.ChangeSecretCode("4321", "1234"), 0, "ChangeSecretCode back");
expect(qorx.CardVerifySecretCode("1234"), 0, "CardVerifySecretCode with the old code again");

step("logout");
expect(qorx.CardLogout(), 0, "CardLogout");
expect(qorx.lCardStatus, 1025, "lCardStatus after CardLogout");

step("report and version");
expect(qorx.PerformPCSCDiagnosticTest(), 0, "PerformPCSCDiagnosticTest");
var report = qorx.sPCSCDiagnosticResult;
expectMatch(report, /^\[PCSCDiagnosticTest\]\n/, "report heading");
expectMatch(report, /Leitoras\.Leitora\.0 = Virtual PCD 00 00\n/, "report reader line");
expectMatch(report, /TecnologiaAtiva\.Modelo = ActiveX\nTecnologiaAtiva\.DLL\.Versao = [0-9a-f.]+\nTecnologiaAtiva\.DLL\.Assinatura= feef04bd\n$/,
            "report ending");
expectMatch(qorx.sVersion, /^\d+\.\d+\.\d+\.\d+$/, "sVersion");
expect(qorx.sSCardError, "", "sSCardError");

step("close");
expect(qorx.Close(), 0, "Close");
expect(qorx.bActive, 0, "bActive after Close");
expect(qorx.sPAN, "", "sPAN after Close");
expect(qorx.wRetries, 0, "wRetries after Close");
expect(qorx.sPCSCDiagnosticResult, report, "the report stays after Close");
expect(qorx.Close(), 2561, "Close without a reader");
expect(qorx.CardDetect(), 2562, "CardDetect without a reader");

if (failures > 0) {
  WScript.Echo(failures + " check(s) failed");
  WScript.Quit(1);
}
WScript.Echo("banking session complete");
