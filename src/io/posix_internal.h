// What the POSIX platform files share among themselves (never included
// above the seam): the wait in plat_posix.cpp needs to know which
// descriptors the console stands for.
#ifndef VELKOR_POSIX_INTERNAL_H
#define VELKOR_POSIX_INTERNAL_H

// The descriptor to wait on for console keys, or -1 when none can come any
// more (end of input); *now is set when a key is already waiting.
int posix_console_in_fd(int *now);
// The descriptor the console client's output is written to.
int posix_console_out_fd();

#endif
