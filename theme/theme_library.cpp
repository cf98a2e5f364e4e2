// The visual-style library binding. To be filled in.
