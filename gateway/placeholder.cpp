// Placeholder so that the gateway library exists before its first module lands.
