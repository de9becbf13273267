"""What the tests and the tools share, for Python 2.7 and 3 alike. The build copies this package into
build/python, the PYTHONPATH of every test, tool and gpu-check run, so a plain import finds it:

    processes   programs and Python snippets run as child processes, environment changes
    frames      the host-like image object, synthetic pictures (a desktop, noise)
    streams     H.264 streams decoded with ffmpeg and compared with their source (PSNR, exact planes)
    nvenc       the encoder module under test (TEVU_ENCODER_MODULE) and what its suites share

Nothing here imports the host package or the modules before it is used: the package also serves checks
that run without the modules (the Windows build's encodes)."""
