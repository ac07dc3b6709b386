"""Cohort vocabulary of the plantation population model."""

from enum import Enum

class ChainKind(str, Enum):
    VEGETATIVE = "vegetative"
    REPRODUCTIVE = "reproductive"
