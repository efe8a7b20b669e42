// How the Windows process ends when the run itself fails.
#pragma once

// Makes every ending of the process the run's own: the C runtime's abort()
// (which in a GUI program shows a box and waits for a click) and a crash
// end the run as any internal failure does (EndAfterInternalFailure), and
// the system shows no box for the tool (critical errors, files it cannot
// open, crashes).
void InstallEndingHandlers();
