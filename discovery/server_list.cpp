// The server discovery. To be filled in.
