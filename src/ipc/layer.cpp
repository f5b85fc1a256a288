// Layer ipc: sources arrive with their features.
