// The client's figures as one JSON document, for scripts.
#pragma once

#include <cstdio>

// Sends everything printed from now on to standard error, keeping standard output for the
// one document that finish_json_output writes.
void begin_json_output();

// Writes the document to the kept standard output. failure names why the run could not
// start (null when it ran, however it ended).
void finish_json_output(const char* server_given, const char* failure);

// The document itself, from run_config and run_record.
void write_json_report(FILE* out, const char* server_given, const char* failure);
