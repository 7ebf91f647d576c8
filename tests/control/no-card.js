// What a page sees with a reader that holds no card: the second virtual reader.
//   qorx-script no-card.js
var failures = 0;
function expect(actual, wanted, what) {
  if (actual !== wanted) {
    WScript.Echo("FAIL " + what + ": got " + actual + ", wanted " + wanted);
    failures++;
  }
}

var qorx = new ActiveXObject("VTKPLG01_QorBrowserPluginCOM.KestrelX5.1");
expect(qorx.Open("Virtual PCD 00 01"), 0, "Open");
expect(qorx.CardDetect(), 0, "CardDetect");
expect(qorx.lCardStatus, 1028, "lCardStatus without a card");
expect(qorx.sCardATR, "", "sCardATR without a card");
expect(qorx.CardAuthenticate("2026/12/08"), 2563, "CardAuthenticate without a card");
expect(qorx.sPAN, "", "sPAN");
expect(qorx.CardVerifySecretCode("1234"), 2563, "CardVerifySecretCode without a card");
expect(qorx.wRetries, 0, "wRetries: no refresh after a failure of another kind");
expect(qorx.SignTransaction("abc", 0), 2563, "SignTransaction without a card");
expect(qorx.GetApplicationState(), 2563, "GetApplicationState without a card");
// The second control on the page has its own service: it may open the card's reader.
var other = new ActiveXObject("VTKPLG01_QorBrowserPluginCOM.KestrelX5");
expect(other.Open("Virtual PCD 00 00"), 0, "Open by a second control");
expect(other.CardDetect(), 0, "CardDetect by a second control");
expect(other.lCardStatus, 1026, "lCardStatus seen by the second control");
expect(qorx.lCardStatus, 1028, "the first control still sees its empty reader");
expect(other.Close(), 0, "Close of the second control");
expect(qorx.Close(), 0, "Close");
// Texts reach the control whole, as UTF-8: an accented letter, a character beyond U+FFFF.
var texts = [["\u00E9", "C3A9"], ["\uD83D\uDE00", "F09F9880"], ["a\u20ACb", "61E282AC62"]];
for (var i = 0; i < texts.length; i++) {
  expect(qorx.CalculateSHA1Hash(texts[i][0], 0), 0, "CalculateSHA1Hash of text " + i);
  var digest = qorx.sHashOutput;
  expect(qorx.CalculateSHA1Hash(texts[i][1], 1), 0, "CalculateSHA1Hash of its UTF-8 " + i);
  expect(qorx.sHashOutput, digest, "the digest of text " + i + " is that of its UTF-8 bytes");
}
// Scripting errors carry the HRESULT.
var number = 0;
try { qorx.NoSuchMethod(); } catch (e) { number = e.number; }
expect(number, -2147352570, "DISP_E_UNKNOWNNAME for an unknown member");
try { qorx.Open(); } catch (e) { number = e.number; }
expect(number, -2147352562, "DISP_E_BADPARAMCOUNT for a missing argument");

if (failures > 0) {
  WScript.Echo(failures + " check(s) failed");
  WScript.Quit(1);
}
WScript.Echo("no-card checks complete");
