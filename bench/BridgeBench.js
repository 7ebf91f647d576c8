// The bridge benchmark's baseline: the same calls as the page makes, through qorx-script.
//   qorx-script BridgeBench.js READS DETECTS
var reads = +WScript.Arguments(0), detects = +WScript.Arguments(1);
var qorx = new ActiveXObject("VTKPLG01_QorBrowserPluginCOM.KestrelX5");
qorx.Open("Virtual PCD 00 00");
qorx.CardDetect();
for (var w = 0; w < 100; w++) qorx.lCardStatus;  // as the page warms up
var start = Date.now(), status = 0;
for (var i = 0; i < reads; i++) status += qorx.lCardStatus;
var readMs = Date.now() - start;
start = Date.now();
for (var j = 0; j < detects; j++) qorx.CardDetect();
var detectMs = Date.now() - start;
qorx.Close();
WScript.Echo(JSON.stringify({ readMs: readMs, detectMs: detectMs, status: status / reads }));
