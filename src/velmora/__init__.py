"""velmora: process modelling. The electrolyte-liquid engine is velmora.brinequil."""

__version__ = "0.1.0"
