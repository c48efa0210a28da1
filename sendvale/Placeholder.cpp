// Removed once the first real source of this folder lands.
