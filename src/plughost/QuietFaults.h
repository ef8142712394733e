// The plug-in host shows nothing: no error dialog, no Windows Error Reporting
// window, no debugger. A fault that nothing catches ends it at once, which
// TunerHost sees, rather than leaving it waiting on a dialog.
#pragma once

void ShowNothing();
// A plug-in may put its own last-chance filter in place (a crash reporter);
// ours is put back after each request that ran the plug-in's code.
void KeepFaultFilter();
