// replaced by the box model
