// pcscd restarted under a page's open reader: the next CardDetect answers lCardStatus 1026
// without Close and Open. Run by pcscd-restart.sh, which restarts pcscd when this script says
// so and then writes the file named by the first argument.
//
//   qorx-script pcscd-restart.js MARKER-FILE
var failures = 0;
function expect(actual, wanted, what) {
  if (actual !== wanted) {
    WScript.Echo("FAIL " + what + ": got " + actual + ", wanted " + wanted);
    failures++;
  }
}
var marker = WScript.Arguments(0);
var qorx = new ActiveXObject("VTKPLG01_QorBrowserPluginCOM.KestrelX5");
expect(qorx.Open("Virtual PCD 00 00"), 0, "Open");
for (var i = 0; i < 100 && (qorx.CardDetect() != 0 || qorx.lCardStatus != 1026); i++) WScript.Sleep(50);
expect(qorx.lCardStatus, 1026, "lCardStatus before the restart");
expect(qorx.CardAuthenticate("2026/12/08"), 0, "CardAuthenticate");
expect(qorx.lCardStatus, 1025, "lCardStatus authenticated");
WScript.Echo("restart pcscd now");
// The marker's hash succeeds once the restart is over (the control reads files; a page has
// no other way to look at one).
for (i = 0; i < 600 && qorx.HashFile(marker) != 0; i++) WScript.Sleep(50);
expect(qorx.HashFile(marker), 0, "the marker after the restart");
expect(qorx.CardDetect(), 0, "CardDetect after the restart");
expect(qorx.lCardStatus, 1026, "lCardStatus after the restart");
expect(qorx.CardAuthenticate("2026/12/08"), 0, "CardAuthenticate after the restart");
expect(qorx.Close(), 0, "Close");
WScript.Echo(failures == 0 ? "ok" : failures + " failures");
WScript.Quit(failures == 0 ? 0 : 1);
