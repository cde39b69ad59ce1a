// Placeholder translation unit until the first sources of this directory land.
