// Layer sdk: sources arrive with their features.
