// Creates the control by the ProgID given and reads one property of it.
//   qorx-script create.js PROGID
var qorx = new ActiveXObject(WScript.Arguments(0));
WScript.Echo("created, version " + qorx.sVersion + ", readers " + qorx.wReaderCount);
