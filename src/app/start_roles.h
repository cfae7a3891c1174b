// Starting the roles of a server or a client process.
#pragma once

// Starts the enabled server roles and sleeps for ever; returns 2 when a thread cannot
// be created.
int run_server();

// Runs the chosen client role; the process exit status.
int run_client();

// SIGINT: end at once with status 0.
void on_interrupt(int signal);
