// Placeholder until the token component lands.
