// The tests' precompiled headers are made from this target; it has no code of its own.
