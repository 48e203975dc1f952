// Creates the control by its ProgID and calls the five operations in the
// order the Linux host is asked for them; the returned documents go, one
// after the other, into the file named by the first argument (UTF-16, so the
// console's code page never touches them). Ends with exit status 0 only when
// every call returned a string.
//
// Kept ASCII: the script host reads script files in the ANSI code page.
var status = 1;
try {
    var output = WScript.Arguments(0);
    var files = new ActiveXObject("Scripting.FileSystemObject");
    var control = new ActiveXObject("IVELCARD.QVCtrl.1");
    var file = files.CreateTextFile(output, true, true);
    var members = ["connect", "getStatus", "getSAMID", "readCert", "disconnect"];
    for (var i = 0; i < members.length; ++i) {
        var document = control[members[i]]();
        if (typeof document !== "string") throw new Error(members[i] + " returned " + typeof document);
        file.Write(document);
    }
    file.Close();
    status = 0;
    WScript.Echo("operations: " + members.length + " documents written");
} catch (e) {
    WScript.Echo("operations: FAILED: " + e.message + " (0x" + (e.number >>> 0).toString(16) + ")");
    status = 2;
}
WScript.Quit(status);
