// Small socket helpers shared by the daemons.
#pragma once

// Adds O_NONBLOCK to fd's status flags (a failing F_GETFL counts as no flags).
// Returns the result of F_SETFL; most callers ignore it.
int setnonblocking(int fd);
