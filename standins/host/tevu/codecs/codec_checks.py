"""Checks that the host runs on codec modules: here, the largest picture an encoder can be set up for."""

from __future__ import absolute_import

from tevu.log import Logger

log = Logger("encoder")

# Probing starts from a small picture that every encoder accepts, and never goes beyond the limit.
PROBE_BASE_SIZE = 128
PROBE_LIMIT = 16384
# Sizes are probed to this granularity (encoders round their sizes up to multiples of 32).
PROBE_STEP = 32


def _probe_formats(module):
    encoding = module.get_encodings()[0]
    src_format = module.get_input_colorspaces(encoding)[0]
    dst_formats = module.get_output_colorspaces(encoding, src_format)
    return encoding, src_format, dst_formats


def _can_set_up(module, formats, width, height):
    """Whether an encoder of the module can be set up for a picture of width x height."""
    encoding, src_format, dst_formats = formats
    encoder = module.Encoder()
    try:
        encoder.init_context(width, height, src_format, dst_formats, encoding, 50, 50, (1, 1), {})
        return True
    except Exception as e:
        log("%s cannot set up %ix%i: %s", module.__name__, width, height, e)
        return False
    finally:
        try:
            encoder.clean()
        except Exception as e:
            log.warn("Warning: cleaning the %ix%i probe encoder failed: %s", width, height, e)


def _largest(fits, base, limit, step):
    """The largest size from base to limit (multiples of step) for which fits(size) holds.

    Doubles from base while it fits, then bisects between the last size that fitted and the first that
    did not. Assumes fits(base) holds and that fitting sizes form one range from base upwards.
    """
    good = base
    bad = None
    size = base
    while size < limit:
        size = min(size * 2, limit)
        if fits(size):
            good = size
        else:
            bad = size
            break
    if bad is None:
        return good
    while bad - good > step:
        middle = (good + bad) // 2 // step * step
        if middle <= good:
            break
        if fits(middle):
            good = middle
        else:
            bad = middle
    return good


def get_encoder_max_sizes(module, base=PROBE_BASE_SIZE, limit=PROBE_LIMIT, step=PROBE_STEP):
    """The largest width and height (max_w, max_h) an encoder of the module can be set up for.

    The width is probed at the base height and the height at the base width, with the module's first
    encoding and input colourspace. (0, 0) when not even the base size can be set up. The device failure
    bookkeeping is left as it was: failures of oversized probes say nothing about the device.
    """
    from tevu.codecs.cuda_common.cuda_context import preserved_device_state
    formats = _probe_formats(module)
    with preserved_device_state():
        if not _can_set_up(module, formats, base, base):
            log.warn("Warning: %s cannot set up an encoder of %ix%i", module.__name__, base, base)
            return 0, 0
        max_w = _largest(lambda w: _can_set_up(module, formats, w, base), base, limit, step)
        max_h = _largest(lambda h: _can_set_up(module, formats, base, h), base, limit, step)
    log("%s maximum size: %ix%i", module.__name__, max_w, max_h)
    return max_w, max_h
