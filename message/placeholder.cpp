// Placeholder so that the message library exists before its first module lands.
