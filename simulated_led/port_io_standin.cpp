// Stand-in for the port-I/O library: the LED library only requires that it loads.
