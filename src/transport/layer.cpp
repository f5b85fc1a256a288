// Layer transport: sources arrive with their features.
