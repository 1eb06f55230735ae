// placeholder: filled in by the work in progress
