// Layer shm: sources arrive with their features.
