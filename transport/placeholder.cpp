// Placeholder so that the transport library exists before its first module lands.
