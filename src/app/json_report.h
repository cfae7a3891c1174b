// The figures as JSON, for scripts: a client's as one document, a server's a line a phase.
#pragma once

#include <cstdio>

// Sends everything printed from now on to standard error, keeping standard output for the
// one document that finish_json_output writes.
void begin_json_output();

// For a server: from now on, standard output holds only the JSON lines of the phases it
// serves, and everything else goes to standard error.
void begin_json_lines();

// Writes the document to the kept standard output. failure names why the run could not
// start (null when it ran, however it ended).
void finish_json_output(const char* server_given, const char* failure);

// The document itself, from run_config and run_record.
void write_json_report(FILE* out, const char* server_given, const char* failure);
