// The program: start-up and the endless cycle of runs.
#pragma once

// Runs the client with the whole command line (program path first). Returns the exit code
// when the user ends the program or the run limit is reached.
int TAVLIB_main2(char* commandline);
