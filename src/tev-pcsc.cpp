// placeholder: module under construction
