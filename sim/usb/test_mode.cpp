// Linked into test programs only: the simulated bus then starts empty and
// waits for the test to plug devices in (sim::reset_bus), instead of reading
// tarnctl-sim's environment.
extern "C" const int tarnctl_usbsim_test_mode;
extern "C" const int tarnctl_usbsim_test_mode = 1;
