# Type information for the extension module quavix. The module is a single compiled file, so
# its types live in this stub-only package, found by type checkers beside it (PEP 561).
from . import _internals as _internals
from . import converters as converters
from . import exceptions as exceptions
from .converters import CallbackResampler as CallbackResampler
from .converters import ConverterType as ConverterType
from .converters import Resampler as Resampler
from .converters import resample as resample
from .exceptions import ResamplingError as ResamplingError

__version__: str
__libsamplerate_version__: str
