// Exchange with the project's servers: uploading the results waiting in "results.txt" and
// refreshing the lattice files and the sample results files. For now this header holds only
// what the run cycle uses; the network code completes it in place (the definitions are
// placeholders in shell/seams.cpp until then).
#pragma once

// Uploads `file` for `user`, with retries over random servers.
void trysendresults(const char* file, const char* user, char interactive);
// The upload asked for with the -s switch.
void manualsend();
// Refreshes the lattice files in `dir` when they are older than `hours`.
void latticefileupdate(int hours, char keep, const char* dir);
// Refreshes the sample results files (URL template with "{lattice}") older than `hours`.
void samplefilesupdate(const char* urltemplate, int hours);
