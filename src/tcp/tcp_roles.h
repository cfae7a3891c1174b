// The two sides of the TCP benchmark.
#pragma once

// Thread entry: serves TCP clients one at a time until waiting for them fails.
void* tcp_server(void* unused);

// Runs the whole TCP benchmark against the configured server.
void tcp_client();
