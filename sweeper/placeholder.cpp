// Placeholder so that the sweeper library exists before its first module lands.
