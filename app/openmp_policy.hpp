#pragma once

/// LibRaw decodes with OpenMP threads, which by default keep spinning on a core for a while after
/// each parallel step; beside the shared worker pool of the imaging code, and beside other
/// requests, that spinning takes the cores the other work needs. The OpenMP runtime reads its
/// wait policy from the environment once, when it is loaded, before main runs. So when the
/// environment names no policy, this starts the program again in place (same process, same
/// arguments) with OMP_WAIT_POLICY=passive, which lets idle OpenMP threads sleep. It returns
/// when the environment already names a policy, or when the program cannot be started again, in
/// which case the defaults stay. Must run before any thread is started.
void use_passive_openmp_threads(char* argv[]);
