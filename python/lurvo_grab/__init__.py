"""lurvo's get_frame run in child processes, so that the caller's threads
never wait on the network."""
