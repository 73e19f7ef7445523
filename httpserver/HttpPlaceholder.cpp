// Placeholder until the HTTP library lands.
