// placeholder: the Python layer is being written
