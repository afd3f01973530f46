// Placeholder so that a module folder without sources still forms a target.
