// Keeps the library non-empty while its units are being added.
