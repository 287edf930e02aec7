// The extractor's front end: banner, command line, opening and recognising the
// archive, library start-up and the exit status.
#pragma once

// Runs the extractor as the process would; returns the exit status (0, or -1
// when the usage line is printed or the archive can't be opened).
int extractor_main(int argc, char** argv);
