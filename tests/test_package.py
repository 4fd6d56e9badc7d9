import subprocess
import sys


def test_loading_brinequil_imports_the_activity_model_only():
    code = (
        "import sys, velmora.brinequil as b;"
        "mods = [m for m in ('velmora.ionactivity', 'velmora.ionchem', 'velmora.phasekit',"
        " 'velmora.enginebridge', 'velmora.notices') if m in sys.modules];"
        "print(','.join(mods))"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "velmora.ionactivity"
