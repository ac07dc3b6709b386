"""Readers of a farm's own record files and the data objects built from them."""
