# The driver's folders, in the order of their dependencies (each includes
# only folders before it). The host build, the Windows build, the lint and
# the layering check all take the list from here.
set(NUV_DRIVER_DIRS common engine topology wave stream adapter)
