// Placeholder until the bridge module lands.
