// Layer engine_api: sources arrive with their features.
